// Tests of the Base64 codec and of the Base64 + UTF-8 body decoding.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "protocol/TextUtils.h"

namespace tessil {
namespace {

struct EncodeCase {
    std::string input;
    std::string expected;
};

TEST(Base64, EncodesWithLineBreakAfterEvery76thCharacter) {
    const std::string line76 = Base64Encode(std::string(57, 'a')).substr(0, 76);
    const std::vector<EncodeCase> cases = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {std::string("\xff\xfe\x00", 3), "//4A"},
        // 57 bytes make exactly 76 characters: the break follows the last one too.
        {std::string(57, 'a'), line76 + "\r\n"},
        // 58 bytes: a full line, the break, and a second line of 4 characters.
        {std::string(58, 'a'), line76 + "\r\n" + "YQ=="},
        {std::string(114, 'a'), line76 + "\r\n" + line76 + "\r\n"},
    };
    EXPECT_EQ(line76.size(), 76u);
    EXPECT_EQ(line76.find_first_not_of("YWFh"), std::string::npos);
    for (const auto& c : cases) {
        EXPECT_EQ(Base64Encode(c.input), c.expected) << "input size " << c.input.size();
    }
}

TEST(Base64, DecodeSkipsEveryCharacterOutsideTheAlphabet) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ""},
        {"Zm9v", "foo"},
        {"Zg==", "f"},
        {"Zg", "f"},  // padding is optional: '=' is skipped anyway
        {"Zm\r\n9v", "foo"},
        {" Z m 9 v ", "foo"},
        {"Z!m@9#v$\t", "foo"},
        {"====", ""},
        {"Z", ""},  // six bits make no byte
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(Base64Decode(text), expected) << text;
    }
}

TEST(Base64, RoundTripsArbitraryBytesOfEveryLength) {
    std::mt19937 rng(7);
    for (size_t len = 0; len < 300; ++len) {
        std::string bytes(len, '\0');
        for (char& c : bytes) c = static_cast<char>(rng());
        EXPECT_EQ(Base64Decode(Base64Encode(bytes)), bytes) << len;
    }
}

TEST(DecodeStr, KeepsValidUtf8AndDropsInvalidBytes) {
    const std::string korean = "{\"data\":\"로그인 성공\"}";
    EXPECT_EQ(DecodeStr(EncodeStr(korean)), korean);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"a\xff"
         "b",
         "ab"},  // a byte that is never UTF-8
        {"a\xc0\xaf"
         "b",
         "ab"},  // overlong '/'
        {"a\xed\xa0\x80"
         "b",
         "ab"},                                    // UTF-16 surrogate
        {"a\xea\xb0", "a"},                        // truncated sequence at the end
        {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},  // four-byte character survives
    };
    for (const auto& [raw, expected] : cases) {
        EXPECT_EQ(DecodeStr(Base64Encode(raw)), expected);
    }
}

TEST(DecodeStr, LineBreaksInsideTheTextChangeNothing) {
    const std::string text(200, 'x');
    std::string encoded = Base64Encode(text);
    ASSERT_NE(encoded.find("\r\n"), std::string::npos);
    std::string flat;
    for (char c : encoded) {
        if (c != '\r' && c != '\n') flat.push_back(c);
    }
    EXPECT_EQ(DecodeStr(encoded), DecodeStr(flat));
    EXPECT_EQ(DecodeStr(encoded), text);
}

}  // namespace
}  // namespace tessil
