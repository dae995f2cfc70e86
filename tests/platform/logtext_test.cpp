// What every log line goes through: passwords hidden however the member is written,
// control characters escaped so a client cannot forge lines or drive a terminal, long
// lines cut on a character boundary, and the UTC stamp's exact form.
#include <gtest/gtest.h>

#include <chrono>
#include <utility>

#include "platform/LogText.h"

namespace tessil {
namespace {

TEST(LogText, PasswordMembersAreHiddenWhereverTheyAppear) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {R"({"cmd":"LOGIN","usrid":"kim","pass":"1234","gcode":"G"})",
         R"({"cmd":"LOGIN","usrid":"kim","pass":"***","gcode":"G"})"},
        {R"({"pass" : "a\"b,c}","x":1})", R"({"pass" : "***","x":1})"},
        {R"({"p\u0061ss":"hidden"})", R"({"p\u0061ss":"***"})"},
        {R"({"pass":1234,"x":"y"})", R"({"pass":"***","x":"y"})"},
        {R"({"pass":"cut short)", R"({"pass":"***")"},
        {R"({"usrid":"pass","text":"pass"})", R"({"usrid":"pass","text":"pass"})"},
        {R"({"password":"kept"})", R"({"password":"kept"})"},
        {"no json at all", "no json at all"},
    };
    for (const Case& c : cases) EXPECT_EQ(logtext::RedactSecrets(c.in), c.out) << c.in;
}

TEST(LogText, ControlCharactersAreEscapedAndUtf8Kept) {
    EXPECT_EQ(logtext::EscapeControls("a\r\nFAKE LINE\t\x1b[2J\x7f\x01"),
              "a\\r\\nFAKE LINE\\t\\x1b[2J\\x7f\\x01");
    EXPECT_EQ(logtext::EscapeControls("\xed\x95\x9c\xea\xb8\x80 ok"),
              "\xed\x95\x9c\xea\xb8\x80 ok");
}

TEST(LogText, LongLinesAreCutOnACharacterBoundary) {
    EXPECT_EQ(logtext::Cut("short", 10), "short");
    EXPECT_EQ(logtext::Cut("0123456789abc", 10), "0123456789 ...[3 bytes cut]");
    // A three-byte character across the limit goes whole.
    EXPECT_EQ(logtext::Cut("ab\xed\x95\x9c"
                           "cd",
                           3),
              "ab ...[5 bytes cut]");
    // An escape written by EscapeControls is not split.
    EXPECT_EQ(logtext::Cut(logtext::EscapeControls("abc\x1b"), 5), "abc ...[4 bytes cut]");
    EXPECT_EQ(logtext::Clean(std::string(100000, 'x'), 2048).size(),
              2048 + std::string(" ...[97952 bytes cut]").size());
}

// Clean escapes only what it keeps: the same line as escaping the whole text and cutting
// it, and no more memory than the line, however long the text.
TEST(LogText, CleanOfALongTextIsTheCutOfItsEscapesAndHoldsOnlyTheLine) {
    const std::string korean = "\xed\x95\x9c";
    const std::string cases[] = {
        std::string(100000, 'x'),
        std::string(100000, '\x01'),                          // four bytes escaped each
        std::string(9, 'a') + "\n" + std::string(50, 'b'),    // an escape across the limit
        std::string(8, 'a') + "\x1b" + std::string(50, 'b'),  // the same, four bytes
        std::string(9, 'a') + korean + std::string(50, 'b'),  // UTF-8 across the limit
        std::string(10, 'a'),
        std::string(11, 'a'),
        std::string(14, '\t'),
        R"({"cmd":"LOGIN","pass":")" + std::string(100000, 'p') + R"("})",
    };
    for (const std::string& text : cases) {
        for (size_t max : {size_t{0}, size_t{10}, size_t{2048}}) {
            const std::string whole =
                logtext::Cut(logtext::EscapeControls(logtext::RedactSecrets(text)), max);
            const std::string line = logtext::Clean(text, max);
            EXPECT_EQ(line, whole) << text.substr(0, 20) << " max " << max;
            if (max > 0) {
                EXPECT_LT(line.capacity(), max + 64) << text.substr(0, 20);
            }
        }
    }
}

TEST(LogText, UtcStampHasMilliseconds) {
    using namespace std::chrono;
    // In a row on one thread: the same second again, the next second, the next day and back.
    const std::pair<int64_t, const char*> cases[] = {
        {1781098292123, "2026-06-10T13:31:32.123Z"}, {1781098292007, "2026-06-10T13:31:32.007Z"},
        {1781098293000, "2026-06-10T13:31:33.000Z"}, {1781184693999, "2026-06-11T13:31:33.999Z"},
        {1781098292050, "2026-06-10T13:31:32.050Z"},
    };
    for (const auto& [ms, text] : cases)
        EXPECT_EQ(logtext::UtcStamp(system_clock::time_point{milliseconds(ms)}), text) << ms;
}

}  // namespace
}  // namespace tessil
