// Tests of the request text helpers: body marker, blanks, escaping, room keys, pause.
#include <gtest/gtest.h>

#include <chrono>

#include "protocol/TextUtils.h"

namespace tessil {
namespace {

TEST(GetStreamData, ReturnsTheTrimmedTextAfterTheMarker) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ""},
        {"T", ""},
        {"TX", ""},
        {"TXT", ""},
        {"TXA abc", ""},
        {"txtabc", ""},
        {"TXT  \r\n", ""},
        {"TXTabc", "abc"},
        {"TXT \t abc def \r\n", "abc def"},
        {std::string("TXT\0ab\0", 7), "ab"},
    };
    for (const auto& [body, expected] : cases) {
        EXPECT_EQ(GetStreamData(body), expected) << body;
    }
}

TEST(RemoveSpace, RemovesBlanksAndCutsAfterTheLastBrace) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ""},         {"a b}c", "ab}"}, {"ab", "ab"}, {" { \"a\" : 1 } } x ", "{\"a\":1}}"},
        {"a\tb", "a\tb"},  // only 0x20 counts as a blank
    };
    for (auto [text, expected] : cases) {
        RemoveSpace(text);
        EXPECT_EQ(text, expected);
    }
}

TEST(TextCase, TrimControlAndUpperAsciiTouchOnlyTheirBytes) {
    EXPECT_EQ(TrimControl("\x01 \tab c\r\n "), "ab c");
    EXPECT_EQ(TrimControl(" \r\n"), "");
    EXPECT_EQ(UpperAscii("login 한글 Xy"), "LOGIN 한글 XY");
    EXPECT_EQ(TrimAnsi(" a b\tc "), "ab\tc");
}

TEST(JsonEscape, EscapesQuotesBackslashesAndControlBytes) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"plain", "plain"},
        {"say \"hi\"", "say \\\"hi\\\""},
        {"a\\b", "a\\\\b"},
        {"\n\r\t\b\f", "\\n\\r\\t\\b\\f"},
        {std::string("\x00\x01\x1f", 3), "\\u0000\\u0001\\u001f"},
        {"한글\x7f", "한글\x7f"},  // bytes 0x7F and above pass unchanged
        {"/", "/"},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(JsonEscape(text), expected);
    }
}

TEST(GetUniqueKey, BuildsNineDigitsFromTheTimeOfDay) {
    const std::vector<std::pair<TTimeOfDay, int32_t>> cases = {
        {{0, 0, 0, 0}, 100000000},
        {{23, 59, 59, 999}, 123595999},
        {{12, 34, 56, 789}, 112345689},
        {{9, 5, 7, 100}, 109050700},  // ms % 100 repeats every 100 ms
    };
    for (const auto& [time, expected] : cases) {
        SetUniqueKeyClock([time] { return time; });
        EXPECT_EQ(GetUniqueKey(), expected);
    }
    SetUniqueKeyClock({});
    const int32_t live = GetUniqueKey();
    EXPECT_GE(live, 100000000);
    EXPECT_LE(live, 123595999);
}

TEST(IntToAnsiStr, WritesPlainDecimal) {
    EXPECT_EQ(IntToAnsiStr(0), "0");
    EXPECT_EQ(IntToAnsiStr(-42), "-42");
    EXPECT_EQ(IntToAnsiStr(123595999), "123595999");
}

TEST(Delay, WaitsAtLeastOneMillisecondEvenForZero) {
    for (const int32_t ms : {0, -5, 3}) {
        const auto start = std::chrono::steady_clock::now();
        Delay(ms);
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GE(waited, std::chrono::milliseconds(ms < 1 ? 1 : ms)) << ms;
    }
}

}  // namespace
}  // namespace tessil
