// Subject names as people write them: RFC 4514 text such as
// "CN=Ivan Petrov,O=Example,1.2.643.100.3=12345678901".
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace korva::tool {

using NameEntry = std::pair<std::string, std::string>;  // attribute type, value

// The entries in the order of the name's ASN.1 sequence: RFC 4514 text lists
// the most specific entry first, so the text's last entry comes first.
// Escapes (\, \+ \" \\ \; \< \> \= \# and \XX hexadecimal) are undone.
// Throws Failure (ExitCode::Usage) naming the position of what is wrong; a
// multi-valued entry ("CN=a+UID=b") and "#" hexadecimal values are refused,
// since each entry becomes a name component of its own.
std::vector<NameEntry> parseDistinguishedName(const std::string& text);

}  // namespace korva::tool
