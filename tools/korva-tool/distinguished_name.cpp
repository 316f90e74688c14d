#include "tools/korva-tool/distinguished_name.h"

#include "tools/korva-tool/failure.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace korva::tool {
namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = char(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

class Reader final {
public:
    explicit Reader(const std::string& text) : text_(text) {}

    std::vector<NameEntry> entries() {
        std::vector<NameEntry> result;
        while (true) {
            std::string type = trimmed(attributeType());
            if (type.empty()) fail("an attribute type is missing");
            std::string value = attributeValue();
            result.emplace_back(std::move(type), std::move(value));
            if (at_ == text_.size()) break;
            if (text_[at_] == '+') fail("multi-valued entries are not supported; use one entry per type");
            ++at_;  // the ',' or ';' between entries
        }
        std::reverse(result.begin(), result.end());
        return result;
    }

private:
    [[noreturn]] void fail(const std::string& what) const {
        throw Failure(ExitCode::Usage,
                      "subject \"" + text_ + "\", at character " + std::to_string(at_ + 1) + ": " + what);
    }

    std::string attributeType() {
        const auto equals = text_.find('=', at_);
        if (equals == std::string::npos) fail("'=' expected");
        std::string type = text_.substr(at_, equals - at_);
        at_ = equals + 1;
        return type;
    }

    std::string attributeValue() {
        while (at_ < text_.size() && text_[at_] == ' ') ++at_;
        if (at_ < text_.size() && text_[at_] == '#') fail("hexadecimal (#) values are not supported");
        std::string value;
        size_t keep = 0;  // length up to the last escaped character: escaped spaces stay
        while (at_ < text_.size() && std::strchr(",;+", text_[at_]) == nullptr) {
            if (text_[at_] != '\\') {
                if (text_[at_] == '"') fail("quote characters must be escaped");
                value.push_back(text_[at_++]);
                continue;
            }
            if (++at_ == text_.size()) fail("the text ends inside an escape");
            const int high = hexDigit(text_[at_]);
            if (high >= 0 && at_ + 1 < text_.size() && hexDigit(text_[at_ + 1]) >= 0) {
                value.push_back(char(high << 4 | hexDigit(text_[at_ + 1])));
                at_ += 2;
            } else if (std::strchr(" \"#+,;<=>\\", text_[at_]) != nullptr) {
                value.push_back(text_[at_++]);
            } else {
                fail("unknown escape");
            }
            keep = value.size();
        }
        while (value.size() > keep && value.back() == ' ') value.pop_back();
        if (value.empty()) fail("an attribute value is missing");
        return value;
    }

    const std::string& text_;
    size_t at_ = 0;
};

}  // namespace

std::vector<NameEntry> parseDistinguishedName(const std::string& text) {
    if (trimmed(text).empty()) throw Failure(ExitCode::Usage, "the subject is empty");
    return Reader(text).entries();
}

}  // namespace korva::tool
