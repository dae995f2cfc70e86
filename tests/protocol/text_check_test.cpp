// Checks on network text: UTF-8 validity and the control-character rules of identifiers
// and messages, the JSON depth scan, and the constant-time comparison's results.
#include <gtest/gtest.h>

#include <string>

#include "protocol/TextCheck.h"

namespace tessil {
namespace {

TEST(TextCheck, IdentifiersAndMessagesFollowTheirRules) {
    struct Case {
        std::string text;
        bool identifier, message;
    } cases[] = {
        {"kim", true, true},
        {"", true, true},
        {"김철수", true, true},
        {"\xF0\x9F\x98\x80", true, true},            // U+1F600, four bytes
        {"\xC2\xA0", true, true},                    // U+00A0, first after C1
        {"a\tb", false, true},                       // tab
        {"a\nb", false, true},                       // line feed
        {"a\rb", false, false},                      // carriage return
        {std::string("a\0b", 3), false, false},      // NUL
        {"\x1B[2J", false, false},                   // escape
        {"\x7F", false, false},                      // DEL
        {"\xC2\x85", false, false},                  // U+0085, a C1 control
        {"\xED\xB0\x80", false, false},              // lone low surrogate
        {"\xED\xA0\xBD\xED\xB8\x80", false, false},  // surrogate pair as CESU-8
        {"\xC0\xAF", false, false},                  // overlong '/'
        {"\xF4\x90\x80\x80", false, false},          // above U+10FFFF
        {"\xE4\xB8", false, false},                  // cut short
        {"\xFF", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsCleanText(c.text, TTextRule::Identifier), c.identifier) << c.text;
        EXPECT_EQ(IsCleanText(c.text, TTextRule::Message), c.message) << c.text;
    }
    EXPECT_TRUE(IsValidUtf8(std::string("a\0\x1B", 3)));  // controls are valid UTF-8
    EXPECT_FALSE(IsValidUtf8("\xED\xB0\x80"));
}

TEST(TextCheck, DepthCountsBracketsOutsideStringsOnly) {
    struct Case {
        std::string json;
        size_t limit;
        bool deeper;
    } cases[] = {
        {R"({"a":[1,{"b":2}]})", 3, false},
        {R"({"a":[1,{"b":[]}]})", 3, true},
        {R"({"s":"[[[[{{{{"})", 1, false},
        {R"({"s":"\"[[[["})", 1, false},          // an escaped quote does not end the string
        {R"({"s":"\\",[[[)", 3, true},            // an escaped backslash does
        {std::string(1'000'000, '['), 32, true},  // stops at the limit
        {"]]]]}}}}", 0, false},
    };
    for (const auto& c : cases) EXPECT_EQ(JsonNestsDeeperThan(c.json, c.limit), c.deeper) << c.json;
}

TEST(TextCheck, ConstantTimeEqualsIsPlainEquality) {
    EXPECT_TRUE(ConstantTimeEquals("", ""));
    EXPECT_TRUE(ConstantTimeEquals("s3cret", "s3cret"));
    EXPECT_FALSE(ConstantTimeEquals("s3cret", "s3cre"));
    EXPECT_FALSE(ConstantTimeEquals("s3cre", "s3cret"));
    EXPECT_FALSE(ConstantTimeEquals("", "x"));
    EXPECT_FALSE(ConstantTimeEquals("abab", "ab"));  // the cycled shorter text never matches
    EXPECT_FALSE(ConstantTimeEquals("s3cret", "s3creT"));
}

}  // namespace
}  // namespace tessil
