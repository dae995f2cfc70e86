// Tests of request intake through Server_DataReceived: the two SYNTAX replies, body
// decoding, the login gate (E016, E012 with its close), E002, silence for unknown words,
// command words as sent, and the message counter.
#include <gtest/gtest.h>

#include "tests/server/ServerFixture.h"

namespace tessil {
namespace {

using Intake = test::ServerFixture;
using test::Texts;

TEST_F(Intake, BodiesThatAreNotOneJsonObjectGetTheFirstSyntaxReply) {
    const std::string syntax = Msg("SYNTAX", "E015", "요청메시지 문법 오류(JSON)");
    const std::string bodies[] = {
        "",
        "TX",
        "TXT",
        "TXA" + Base64Encode(R"({"cmd":"USRLIST"})"),
        "txt" + Base64Encode(R"({"cmd":"USRLIST"})"),
        "TXT \r\n",
        "TXT" + Base64Encode("[1,2]"),
        "TXT" + Base64Encode(R"("LOGIN")"),
        "TXT" + Base64Encode("42"),
        "TXT" + Base64Encode(R"({"cmd":"LOGIN")"),
    };
    auto c = Connect();
    for (const auto& body : bodies) intake.Server_DataReceived(c, body);
    EXPECT_EQ(svr.TextsFor(c), Texts(std::size(bodies), syntax));
    EXPECT_EQ(svr.Closes(c), 0);
}

TEST_F(Intake, AnObjectWithoutTheExactMemberCmdGetsTheSecondSyntaxReply) {
    auto c = Connect();
    Send(c, R"({"CMD":"LOGIN","usrid":"a","pass":"b","gcode":"c"})");
    EXPECT_EQ(svr.TextsFor(c), Texts{Msg("SYNTAX", "E015", "요청메시지 명령 오류(JSON/CMD)")});
}

TEST_F(Intake, Base64IgnoresBlanksLineBreaksAndForeignCharacters) {
    std::string b64 = Base64Encode(R"({"cmd":"LOGIN","usrid":"kim","pass":"p","gcode":"g"})");
    std::string messy;
    for (size_t i = 0; i < b64.size(); ++i) {
        messy += b64[i];
        if (i % 7 == 3) messy += " \r\n*";
    }
    auto c = Connect();
    intake.Server_DataReceived(c, "TXT" + messy);
    EXPECT_EQ(svr.TextsFor(c), Texts{Msg("LOGIN", "E000", "LOGIN 성공")});
}

TEST_F(Intake, TheGateAnswersE016WithTheWordAsSentAndKeepsTheConnection) {
    auto c = Connect();
    Send(c, R"({"cmd":"usrlist"})");
    Send(c, R"({"cmd":""})");
    Send(c, R"({"cmd":"HELLO"})");
    EXPECT_EQ(svr.TextsFor(c), (Texts{Msg("usrlist", "E016", "로그인 상태가 아닙니다"),
                                      Msg("", "E016", "로그인 상태가 아닙니다"),
                                      Msg("HELLO", "E016", "로그인 상태가 아닙니다")}));
    EXPECT_EQ(svr.Closes(c), 0);
}

TEST_F(Intake, CommandWordsAreMatchedTrimmedAndInAnyCase) {
    auto c = Connect();
    Send(c, R"({"cmd":" login ","usrid":"kim","pass":"p","gcode":"g"})");
    EXPECT_EQ(c->FLoginState, 1);
    Send(c, R"({"cmd":"LOGINREQ"})");  // not LOGIN: a word of its own, unknown
    Send(c, R"({"cmd":"fInDuSeR","usrid":"nobody"})");
    EXPECT_EQ(svr.TextsFor(c), (Texts{Msg("LOGIN", "E000", "LOGIN 성공"),
                                      MakeArrayMsgForClient("fInDuSeR", "E000", "[]")}));
}

TEST_F(Intake, LoggedInClientGetsE002ForAnEmptyWordAndNothingForAnUnknownOne) {
    auto c = Login("kim");
    Send(c, R"({"cmd":"NOSUCH"})");
    Send(c, R"({"cmd":"  "})");
    Send(c, R"({"cmd":""})");
    EXPECT_EQ(After(c, 1), Texts{Msg("", "E002", "정의되지 않은 요청입니다(JSON)")});
}

TEST_F(Intake, AConnectionThatNoLongerHoldsItsUserGetsE012AndIsClosed) {
    auto stale = Login("kim", "secret");
    // The same user ends the stale session from elsewhere with its password.
    auto other = Connect();
    Send(other, R"({"cmd":"LOGOUT","usrid":"kim","pass":"secret"})");
    ASSERT_FALSE(cmd.Tessil_IsExistsUser("kim"));
    auto fresh = Login("kim", "secret");
    Send(stale, R"({"cmd":"UsrList"})");
    EXPECT_EQ(After(stale, 1), Texts{Msg("UsrList", "E012", "등록되지 않은 사용자입니다")});
    ASSERT_TRUE(svr.WaitFor([&] { return svr.Closes(stale) == 1; }));
    EXPECT_EQ(svr.Closes(fresh), 0);
}

TEST_F(Intake, ProcessCountCountsEveryDataMessage) {
    auto c = Connect();
    intake.Server_DataReceived(c, "");
    Send(c, R"({"cmd":"USRLIST"})");
    Send(c, R"({"cmd":"LOGIN","usrid":"kim","pass":"p","gcode":"g"})");
    Send(c, R"({"cmd":"NOSUCH"})");
    EXPECT_EQ(intake.ProcessCount(), 4u);
}

// Building a list costs the server in proportion to its size, so the requester pays for
// it from its request rate; other replies cost only their request.
TEST_F(Intake, ListRepliesAreChargedToTheRequesterByTheirSize) {
    auto kim = Login("kim");
    Login("lee");
    const uint64_t start = svr.Charged(kim);
    Send(kim, R"({"cmd":"FINDUSER","usrid":"lee"})");
    EXPECT_EQ(svr.Charged(kim), start);
    for (const char* list : {R"({"cmd":"USRLIST"})", R"({"cmd":"ROOMLIST","roomNo":-1})"}) {
        const uint64_t before = svr.Charged(kim);
        Send(kim, list);
        EXPECT_EQ(svr.Charged(kim) - before, svr.TextsFor(kim).back().size()) << list;
    }
}

TEST_F(Intake, RepliesAreDroppedWhileTheServerIsInactive) {
    svr.active = false;
    auto c = Connect();
    Send(c, R"({"cmd":"USRLIST"})");
    EXPECT_TRUE(svr.All().empty());
}

}  // namespace
}  // namespace tessil
