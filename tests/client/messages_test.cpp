// Tests of request encoding, reply decoding and client-list parsing on the client side.
#include <gtest/gtest.h>

#include "client/Messages.h"
#include "protocol/ClientProtocol.h"
#include "protocol/TextUtils.h"

namespace tessil {
namespace {

TEST(RequestEncoding, BuildsEscapedJsonThatTheServerIntakeReadsBack) {
    const std::string json = BuildRequestJson(
        "LOGIN", {{"usrid", "k\"im"}, {"pass", "1"}, {"roomNo", "42", true}, {"mesg", "한 글\n"}});
    EXPECT_EQ(json, R"({"cmd":"LOGIN","usrid":"k\"im","pass":"1","roomNo":42,"mesg":"한 글\n"})");

    // The server's intake: marker, blanks, Base64 with line breaks, UTF-8, JSON.
    const std::string body = EncodeRequestBody(json);
    ASSERT_EQ(body.substr(0, 3), "TXT");
    std::string text = GetStreamData(body);
    RemoveSpace(text);
    TJsonObject doc;
    ASSERT_TRUE(ParseJsonObject(DecodeStr(text), doc));
    std::string value;
    int32_t room = 0;
    ASSERT_TRUE(GetJosnValue_Str(&doc, "usrid", value));
    EXPECT_EQ(value, "k\"im");
    ASSERT_TRUE(GetJosnValue_Int(&doc, "roomNo", room));
    EXPECT_EQ(room, 42);
    ASSERT_TRUE(GetJosnValue_Str(&doc, "mesg", value));
    EXPECT_EQ(value, "한 글\n");
}

TEST(ReplyDecoding, HandlesEveryShapeTheServerSends) {
    struct Case {
        std::string text;
        bool isJson;
        std::string cmd, code, data;
        bool dataIsString;
    };
    const std::vector<Case> cases = {
        {MakeMsgForClient("LOGIN", code::E000, text::LoginOk), true, "LOGIN", "E000", "LOGIN 성공",
         true},
        {std::string(kAuthOkMsg), true, "AUTHOK", "E000", "[]", true},
        {std::string(kLogoutOkMsg), true, "LOGOUT", "E000", "[]", false},
        {MakeArrayMsgForClient("USRLIST", code::E000, R"([{"usrid":"kim","n":1.50}])"), true,
         "USRLIST", "E000", R"([{"usrid":"kim","n":1.50}])", false},
        {MakeMsgForClient("USRMSG", code::E000, "say \"hi\"\\"), true, "USRMSG", "E000",
         "say \"hi\"\\", true},
        {"not json", false, "", "", "", false},
    };
    for (const auto& c : cases) {
        // Long texts cross the 76-character line breaks of the encoder.
        const std::string body = EncodeStr(c.text);
        const Reply r = DecodeReply(body);
        EXPECT_EQ(r.body, body);
        EXPECT_EQ(r.text, c.text);
        EXPECT_EQ(r.isJson, c.isJson) << c.text;
        EXPECT_EQ(r.cmd, c.cmd) << c.text;
        EXPECT_EQ(r.code, c.code) << c.text;
        EXPECT_EQ(r.data, c.data) << c.text;
        EXPECT_EQ(r.dataIsString, c.dataIsString) << c.text;
    }
}

TEST(ClientListParsing, SplitsRecordsOfFourFields) {
    const ClientIdentity a{"a7", "kim", "", "1.0"}, b{"b", "", "pw", ""};
    const auto list = ParseClientList(SerializeIdentity(a) + SerializeIdentity(b));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].id, "a7");
    EXPECT_EQ(list[0].user, "kim");
    EXPECT_EQ(list[0].version, "1.0");
    EXPECT_EQ(list[1].id, "b");
    EXPECT_EQ(list[1].password, "pw");
    EXPECT_TRUE(ParseClientList("").empty());
    // A truncated record keeps what it has.
    const auto cut = ParseClientList(std::string("x\0y", 3));
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_EQ(cut[0].user, "y");
}

}  // namespace
}  // namespace tessil
