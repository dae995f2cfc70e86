// Tests of the command table and the reply envelopes, including escaping of every
// inserted value.
#include <gtest/gtest.h>

#include "protocol/ClientProtocol.h"
#include "protocol/TextUtils.h"

namespace tessil {
namespace {

TEST(CommandType, MatchesWholeWordsAfterUpperCasingAndTrimming) {
    const std::vector<std::pair<std::string, int32_t>> cases =
        {
            {"LOGIN", 1},      {"login", 1},      {" login ", 1},   {"\tLoGiN\r\n", 1},
            {"LOGOUT", 2},     {"LOGOUTREQ", 12}, {"USRLIST", 3},   {"FINDUSER", 5},
            {"MAKEROOM", 7},   {"ENTERROOM", 9},  {"ROOMLIST", 4},  {"EXITROOM", 8},
            {"USRMSGALL", 10}, {"USRMSG", 11},    {"USRDEF", 13},   {"REQSTART", 30},
            {"REQSTOP", 31},   {"REQRDY", 32},    {"REQRESET", 34}, {"READYOK", 50},
            {"STARTOK", 51},   {"ENDOK", 53},     {"STOPOK", 52},   {"LOGINREQ", 0},
            {"LOG IN", 0},     {"", 0},           {"   ", 0},       {"AUTHOK", 0},
            {"ｌｏｇｉｎ", 0},  // only a..z are upper-cased
        };
    for (const auto& [word, number] : cases) {
        EXPECT_EQ(CommandType(word), number) << "'" << word << "'";
    }
}

TEST(Envelopes, KeepTheFixedBytes) {
    EXPECT_EQ(MakeMsgForClient("LOGIN", code::E000, text::LoginOk),
              R"({"cmd":"LOGIN","code":"E000","data":"LOGIN 성공"})");
    EXPECT_EQ(MakeMsgForClient("", code::E002, text::UndefinedRequest),
              R"x({"cmd":"","code":"E002","data":"정의되지 않은 요청입니다(JSON)"})x");
    EXPECT_EQ(MakeArrayMsgForClient("USRLIST", code::E000, R"([{"usrid":"kim"}])"),
              R"({"cmd":"USRLIST","code":"E000","data":[{"usrid":"kim"}]})");
    EXPECT_EQ(kAuthOkMsg, R"({"cmd":"AUTHOK", "code":"E000", "data":"[]"})");
    EXPECT_EQ(kLogoutOkMsg, R"({"CMD":"LOGOUT", "CODE":"E000", "DATA":[]})");
}

TEST(Envelopes, EscapeEveryInsertedValue) {
    EXPECT_EQ(MakeMsgForClient("us\"r", "E\\0", "hi \"all\"\n"),
              R"({"cmd":"us\"r","code":"E\\0","data":"hi \"all\"\n"})");
    EXPECT_EQ(MakeArrayMsgForClient("a\"b", "E000", "[]"),
              R"({"cmd":"a\"b","code":"E000","data":[]})");

    // A chat text that tries to inject members stays one string value.
    std::string hostile = "\",\"code\":\"E999\",\"x\":\"\\";
    hostile += '\x01';
    hostile += "\t한";
    const std::string reply = MakeMsgForClient("USRMSG", code::E000, hostile);
    TJsonObject doc;
    ASSERT_TRUE(ParseJsonObject(reply, doc)) << reply;
    EXPECT_EQ(doc.MemberCount(), 3u);
    std::string value;
    ASSERT_TRUE(GetJosnValue_Str(&doc, "data", value));
    EXPECT_EQ(value, hostile);
    ASSERT_TRUE(GetJosnValue_Str(&doc, "code", value));
    EXPECT_EQ(value, "E000");
}

}  // namespace
}  // namespace tessil
