// Tests of the chat and game-state commands through intake: room chat and its refusals,
// a message to one user, the master's requests, member reports and the reset.
#include <gtest/gtest.h>

#include "tests/server/ServerFixture.h"

namespace tessil {
namespace {

using GameCommands = test::ServerFixture;
using test::Texts;

class GameRoom : public test::ServerFixture {
  protected:
    void SetUp() override {
        kim = Master("kim", "CLOSE");
        no = std::to_string(kim->FRoomNo);
        lee = Member("lee", kim->FRoomNo);
        ASSERT_EQ(svr.TextsFor(kim).size(), 3u);  // LOGIN, MAKEROOM, USRIN
        svr.Clear();
    }
    TClientRecPtr kim, lee;
    std::string no;
};

TEST_F(GameCommands, RoomChatFromOutsideARoom) {
    auto c = Login("kim");
    Send(c, R"({"cmd":"USRMSGALL","roomNo":5,"mesg":"hi"})");
    Send(c, R"({"cmd":"USRMSGALL","roomNo":0,"mesg":"hi"})");
    Send(c, R"({"cmd":"USRDEF","roomNo":5})");
    Send(c, R"({"cmd":"USRMSG","usrid":"nobody","mesg":"hi"})");
    Send(c, R"({"cmd":"USRMSG","usrid":"kim"})");
    EXPECT_EQ(After(c, 1), (Texts{Msg("USRMSGALL", "E024", "방원만 발송가능합니다"),
                                  Msg("USRMSGALL", "E020", "메시지 전송 불가"),
                                  Msg("USRMSGALL", "E020", "메시지 전송 불가"),
                                  Msg("USRDEF", "E015", "3.요청형식오류(JSON)"),
                                  Msg("USRMSG", "E020", "메시지 전송 불가"),
                                  Msg("USRMSG", "E015", "요청형식오류(JSON)")}));
}

TEST_F(GameRoom, ChatWithQuotesReachesTheOthersAsValidJson) {
    Send(kim, R"({"cmd":"USRMSGALL","roomNo":)" + no + R"(,"mesg":"say \"hi\" \\o/"})");
    Send(kim, R"({"cmd":"usrdef","roomNo":)" + no + R"(,"mesg":"   "})");
    Send(kim, R"({"cmd":"usrdef","roomNo":)" + no + R"(,"mesg":"a b"})");
    EXPECT_EQ(svr.TextsFor(kim), (Texts{Msg("USRMSGALL", "E000", "메시지 발송완료"),
                                        Msg("usrdef", "E020", "2.메시지 전송 불가"),
                                        Msg("usrdef", "E000", "1.메시지 발송완료")}));
    EXPECT_EQ(svr.TextsFor(lee),
              (Texts{R"({"cmd":"USRMSGALL","code":"E000","data":"say\"hi\"\\o/"})",
                     Msg("usrdef", "E000", "ab")}));
    TJsonObject json;
    EXPECT_TRUE(ParseJsonObject(svr.TextsFor(lee).front(), json));
}

TEST_F(GameRoom, MessageToOneUserInAnotherRoom) {
    auto park = Master("park");
    Send(lee, R"({"cmd":"USRMSG","usrid":"park","mesg":"psst"})");
    EXPECT_EQ(svr.TextsFor(lee), Texts{Msg("USRMSG", "E000", "메시지 발송완료")});
    EXPECT_EQ(svr.TextsFor(park).back(), Msg("USRMSG", "E000", "psst"));
}

TEST_F(GameRoom, MasterRequestsSetTheRoomStateAndReachEveryMember) {
    Send(lee, R"({"cmd":"REQSTART","roomNo":)" + no + R"(,"pass":"","gamecode":"G1"})");
    EXPECT_EQ(
        svr.TextsFor(lee),
        Texts{Msg("REQSTART", "E014", "게임시작요청 알림처리오류, 다시 시도해 주시시 바랍니다")});
    EXPECT_EQ(cmd.GameInfo().FindRoom(kim->FRoomNo)->FRoomState, 0);
    svr.Clear();
    Send(kim, R"({"cmd":"reqstart","roomNo":)" + no + R"(,"pass":"","gamecode":"G1"})");
    const std::string notice = Msg("reqstart", "E000", "게임시작요청");
    EXPECT_EQ(svr.TextsFor(kim), Texts{notice});
    EXPECT_EQ(svr.TextsFor(lee), Texts{notice});
    EXPECT_EQ(cmd.GameInfo().FindRoom(kim->FRoomNo)->FRoomState, 2);
    svr.Clear();
    Send(kim, R"({"cmd":"REQRDY","roomNo":)" + no + R"(,"pass":""})");
    Send(kim, R"({"cmd":"REQSTOP","roomNo":)" + no + R"(,"gamecode":""})");
    Send(kim, R"({"cmd":"REQSTOP","roomNo":)" + no + R"(,"pass":"","gamecode":""})");
    EXPECT_EQ(svr.TextsFor(kim), (Texts{Msg("REQRDY", "E015", "게임시작 정보오류(JSON)"),
                                        Msg("REQSTOP", "E015", "게임중지 정보오류(JSON)"),
                                        Msg("REQSTOP", "E000", "게임중지요청")}));
}

TEST_F(GameCommands, ReportsAndRequestsFromOutsideARoomGetE025) {
    auto c = Login("kim");
    Send(c, R"({"cmd":"readyok"})");
    Send(c, R"({"cmd":"REQRESET"})");
    Send(c, R"({"cmd":"REQRDY","roomNo":1,"pass":"","gamecode":""})");
    EXPECT_EQ(After(c, 1), (Texts{Msg("readyok", "E025", "게임방에 참여하고 있지 않습니다"),
                                  Msg("REQRESET", "E025", "게임방에 참여하고 있지 않습니다"),
                                  Msg("REQRDY", "E025", "게임방에 참여하지 않았습니다")}));
    EXPECT_EQ(c->FGameStat, 0);
}

TEST_F(GameRoom, ReportsAreBroadcastInCapitalsAndTheLastReadyStartsTheGame) {
    Send(kim, R"({"cmd":"REQRDY","roomNo":)" + no + R"(,"pass":"","gamecode":"G1"})");
    svr.Clear();
    Send(kim, R"({"cmd":"readyok"})");
    EXPECT_EQ(kim->FGameStat, 2);
    Send(lee, R"({"cmd":"READYOK"})");
    const Texts both{Msg("READYOK", "E000", "kim"), Msg("READYOK", "E000", "lee"),
                     Msg("STARTOK", "E000", "게임시작")};
    EXPECT_EQ(svr.TextsFor(kim), both);
    EXPECT_EQ(svr.TextsFor(lee), both);
    // A CLOSE room with a game on refuses newcomers.
    auto park = Login("park");
    Send(park, R"({"cmd":"ENTERROOM","roomNo":)" + no + R"(,"pass":"","gamecode":"G1"})");
    EXPECT_EQ(svr.TextsFor(park).back(), Msg("ENTERROOM", "E020", "방입장 오류"));
}

TEST_F(GameRoom, EndFromTheMasterBringsHimAloneTheEndNotice) {
    Send(lee, R"({"cmd":"ENDOK"})");
    Send(kim, R"({"cmd":"endok"})");
    EXPECT_EQ(svr.TextsFor(lee), (Texts{Msg("ENDOK", "E000", "lee"), Msg("ENDOK", "E000", "kim")}));
    EXPECT_EQ(svr.TextsFor(kim),
              (Texts{Msg("ENDOK", "E000", "lee"), Msg("ENDOK", "E000", "kim"),
                     Msg("ENDGAME", "E000", "모든 플레이어가 게임을 종료하였습니다")}));
    EXPECT_EQ(lee->FGameStat, 4);
}

TEST_F(GameRoom, ResetByTheMasterOnly) {
    lee->FGameStat = 3;
    Send(lee, R"({"cmd":"reqreset"})");
    EXPECT_EQ(svr.TextsFor(lee), Texts{Msg("reqreset", "E026", "메시지 전송 오류")});
    svr.Clear();
    Send(kim, R"({"cmd":"REQRESET"})");
    const std::string reset = Msg("RESETGAME", "E000", "방 플레이 정보를 초기화 하였습니다");
    EXPECT_EQ(svr.TextsFor(kim), Texts{reset});
    EXPECT_EQ(svr.TextsFor(lee), Texts{reset});
    EXPECT_EQ(lee->FGameStat, 1);
}

}  // namespace
}  // namespace tessil
