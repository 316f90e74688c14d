// The transport's part of an answer: what the module's flag asks of 61 xx and
// 6C xx, against a scripted card.
#include "host/readers/exchange.h"
#include "host/readers/pcsc_reader.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>

namespace korva::host {
namespace {

using Bytes = std::vector<uint8_t>;

struct Case {
    const char* name;
    Bytes command;
    std::deque<Bytes> answers;  // the card's answers in turn; the last one repeats
    Outstanding outstanding;
    uint32_t capacity;
    ReaderStatus status;
    Bytes data;  // with SW1 SW2 at the end when the status is ok
    std::vector<Bytes> sent;
};

void PrintTo(const Case& row, std::ostream* out) { *out << row.name; }

class ExchangeTest : public ::testing::TestWithParam<Case> {};

TEST_P(ExchangeTest, CompletesOnlyWhatTheFlagAsks) {
    Case given = GetParam();
    std::vector<Bytes> sent;
    const RawExchange card = [&](std::span<const uint8_t> command, Bytes& answer) {
        sent.emplace_back(command.begin(), command.end());
        answer = given.answers.front();
        if (given.answers.size() > 1) given.answers.pop_front();
        return ReaderStatus::ok;
    };
    Bytes response(given.capacity);
    uint32_t length = given.capacity;
    uint8_t sw1 = 0, sw2 = 0;
    ASSERT_EQ(exchange(card, given.command, response.data(), &length, sw1, sw2, given.outstanding), given.status);
    if (given.status == ReaderStatus::ok) {
        response.resize(length);
        response.push_back(sw1);
        response.push_back(sw2);
        EXPECT_EQ(response, given.data);
    }
    if (!given.sent.empty()) {
        EXPECT_EQ(sent, given.sent);
    }
}

const Bytes kIdentity = {0x80, 0xFE, 0x06, 0x00, 0x00};
const Bytes kGetFour = {0x00, 0xC0, 0x00, 0x00, 0x04};
const Bytes kStillMore = [] {
    Bytes answer(256, 0xEE);
    answer.insert(answer.end(), {0x61, 0x00});
    return answer;
}();

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Answers, ExchangeTest,
    ::testing::Values(
        Case{"LeftAsAnswered", kIdentity, {{0x61, 0x04}}, Outstanding::asAnswered, 258, ReaderStatus::ok,
             {0x61, 0x04}, {kIdentity}},
        Case{"FetchedAndJoined", kIdentity, {{1, 2, 0x61, 0x04}, {3, 4, 5, 6, 0x90, 0x00}}, Outstanding::fetch, 258,
             ReaderStatus::ok, {1, 2, 3, 4, 5, 6, 0x90, 0x00}, {kIdentity, kGetFour}},
        Case{"WrongLeSentAgain", {0x80, 0x78, 0x00, 0x00, 0x00}, {{0x6C, 0x02}, {7, 8, 0x90, 0x00}},
             Outstanding::fetch, 258, ReaderStatus::ok, {7, 8, 0x90, 0x00},
             {{0x80, 0x78, 0x00, 0x00, 0x00}, {0x80, 0x78, 0x00, 0x00, 0x02}}},
        Case{"WrongLeOfACase4Command", {0x00, 0x2A, 0x9E, 0x9A, 0x01, 0xAA, 0x00}, {{0x6C, 0x40}, {0x90, 0x00}},
             Outstanding::fetch, 258, ReaderStatus::ok, {0x90, 0x00},
             {{0x00, 0x2A, 0x9E, 0x9A, 0x01, 0xAA, 0x00}, {0x00, 0x2A, 0x9E, 0x9A, 0x01, 0xAA, 0x40}}},
        Case{"CardThatNeverStops", kIdentity, {{0x61, 0x00}, kStillMore}, Outstanding::fetch, 258,
             ReaderStatus::failed, {}, {}},
        Case{"MoreThatNeverComes", kIdentity, {{0x61, 0x00}}, Outstanding::fetch, 258, ReaderStatus::failed, {}, {}},
        Case{"LongerThanTheBuffer", kIdentity, {{1, 2, 3, 0x90, 0x00}}, Outstanding::fetch, 2, ReaderStatus::failed,
             {}, {}},
        Case{"NoStatusWord", kIdentity, {{0x90}}, Outstanding::asAnswered, 258, ReaderStatus::failed, {}, {}}),
    [](const ::testing::TestParamInfo<Case>& row) { return std::string(row.param.name); });
// clang-format on

// A reader's name of any length and characters becomes a slot description of
// at most 64 bytes that ends on a whole UTF-8 character (no pcscd is asked:
// the reader is made with a PC/SC service that is not there).
TEST(PcscReaderName, DescriptionIsCutAtACharacterWithin64Bytes) {
    PcscApi absent{};
    absent.establishContext = [](DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT) -> LONG { return SCARD_E_NO_SERVICE; };
    const std::string r63(63, 'r'), euro = "\xE2\x82\xAC", clef = "\xF0\x9D\x84\x9E";
    const std::pair<std::string, std::string> cases[] = {{"Virtual PCD 00 01", "Virtual PCD 00 01"},
                                                         {std::string(300, 'x'), std::string(64, 'x')},
                                                         {r63 + "\xC3\xA9", r63},
                                                         {r63.substr(2) + euro + "!", r63.substr(2) + euro},
                                                         {r63.substr(1) + clef, r63.substr(1)},
                                                         {"", ""}};
    for (const auto& [name, description] : cases)
        EXPECT_EQ(PcscReader(absent, name, nullptr).description(), description) << name;
}

}  // namespace
}  // namespace korva::host
