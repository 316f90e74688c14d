// Subjects as RFC 4514 text: entries in the name's ASN.1 order (the text's
// last entry first), escapes undone, and every malformed text refused with
// the place of the fault.
#include "tools/korva-tool/distinguished_name.h"
#include "tools/korva-tool/failure.h"

#include <gtest/gtest.h>

namespace korva::tool {
namespace {

using Entries = std::vector<NameEntry>;

TEST(DistinguishedName, EntriesComeInTheNamesOrderWithEscapesUndone) {
    const struct {
        const char* text;
        Entries entries;
    } cases[] = {
        {"CN=Ivan Petrov,O=Example,C=RU", {{"C", "RU"}, {"O", "Example"}, {"CN", "Ivan Petrov"}}},
        {"1.2.643.100.3=12345678901", {{"1.2.643.100.3", "12345678901"}}},
        {R"(O=Example\, Ltd;CN= padded )", {{"CN", "padded"}, {"O", "Example, Ltd"}}},
        {R"(CN=\2C\5c\ lead\ )", {{"CN", ",\\ lead "}}},
        {R"(CN=a\+b\=c\"d\#)", {{"CN", "a+b=c\"d#"}}},
        {"CN=\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD", {{"CN", "\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD"}}},
    };
    for (const auto& c : cases) EXPECT_EQ(parseDistinguishedName(c.text), c.entries) << c.text;
}

TEST(DistinguishedName, MalformedTextIsRefusedWithItsPlace) {
    const struct {
        const char* text;
        const char* message;
    } cases[] = {
        {"", "empty"},
        {"CN", "'=' expected"},
        {"=x", "type is missing"},
        {"CN=", "value is missing"},
        {"CN=a,", "'=' expected"},
        {"CN=a+UID=b", "multi-valued"},
        {"CN=#0403616263", "hexadecimal"},
        {"CN=a\\", "ends inside an escape"},
        {"CN=a\\q", "unknown escape"},
        {"CN=\"quoted\"", "must be escaped"},
    };
    for (const auto& c : cases) {
        try {
            parseDistinguishedName(c.text);
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const Failure& failure) {
            EXPECT_EQ(failure.code(), ExitCode::Usage) << c.text;
            EXPECT_NE(std::string(failure.what()).find(c.message), std::string::npos) << failure.what();
        }
    }
}

}  // namespace
}  // namespace korva::tool
