// Tests of the login commands through intake: LOGIN and its refusals with the close,
// LOGOUT and LOGOUTREQ (who may log whom out), the user lists, and the disconnect path.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/server/ServerFixture.h"

namespace tessil {
namespace {

using namespace std::chrono_literals;
using LoginCommands = test::ServerFixture;
using test::Texts;

const std::string kLogoutOk = R"({"CMD":"LOGOUT", "CODE":"E000", "DATA":[]})";

TEST_F(LoginCommands, SucceedsForAnyIdAndPasswordAndFillsTheRecord) {
    auto c = Connect();
    c->FGameStat = 3;
    Send(c, R"({"cmd":"LOGIN","usrid":"김철수","pass":"any","gcode":"G7"})");
    EXPECT_EQ(svr.TextsFor(c), Texts{R"({"cmd":"LOGIN","code":"E000","data":"LOGIN 성공"})"});
    EXPECT_EQ(c->FUsrID, "김철수");
    EXPECT_EQ(c->FGCode, "G7");
    EXPECT_EQ(c->FLoginState, 1);
    EXPECT_EQ(c->FRoomNo, -2);
    EXPECT_EQ(c->FGameStat, 0);
    EXPECT_EQ(svr.Closes(c), 0);
}

TEST_F(LoginCommands, RefusalsReplyAndCloseTheConnectionAfterAPause) {
    auto first = Login("kim");
    struct Case {
        std::string request, reply;
    };
    const Case cases[] = {
        {R"({"cmd":"LOGIN","usrid":"kim","pass":"pw","gcode":"G1"})",
         Msg("LOGIN", "E013", "이미 접속중인 사용자")},
        {R"({"cmd":"LOGIN","usrid":"lee","pass":"pw"})",
         Msg("LOGIN", "E015", "요청 형식오류(JSON)")},
        {R"({"cmd":"login","pass":"pw","gcode":"G1"})",
         Msg("LOGIN", "E015", "요청 형식오류(JSON)")},
    };
    for (const auto& k : cases) {
        auto c = Connect();
        const auto t0 = std::chrono::steady_clock::now();
        Send(c, k.request);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 50ms);  // the pause is not slept
        EXPECT_EQ(svr.TextsFor(c), Texts{k.reply});
        EXPECT_TRUE(svr.WaitFor([&] { return svr.Closes(c) == 1; }));
        EXPECT_EQ(c->FLoginState, 0);
    }
    EXPECT_EQ(svr.Closes(first), 0);
    EXPECT_EQ(cmd.GameInfo().GetUser("kim")->Client(), first);
}

TEST_F(LoginCommands, ASecondLoginOnTheSameConnectionIsRefused) {
    auto c = Login("kim");
    Send(c, R"({"cmd":"LOGIN","usrid":"lee","pass":"pw","gcode":"G1"})");
    EXPECT_EQ(After(c, 1), Texts{Msg("LOGIN", "E013", "이미 접속중인 사용자")});
    EXPECT_TRUE(svr.WaitFor([&] { return svr.Closes(c) == 1; }));
    EXPECT_FALSE(cmd.Tessil_IsExistsUser("lee"));
    EXPECT_EQ(c->FUsrID, "kim");
    EXPECT_EQ(cmd.Tessil_GetAllUserList(),
              R"([{"userid":"kim", "nickname":"", "gcode":"G1", "roomno":"-2", "stat":0}])");
}

TEST_F(LoginCommands, LogoutOfOwnUserRepliesTheFixedTextAndClosesAfterAPause) {
    auto c = Login("kim");
    Send(c, R"({"cmd":"LOGOUT","usrid":"kim","pass":"whatever"})");
    EXPECT_EQ(After(c, 1), Texts{kLogoutOk});
    EXPECT_FALSE(cmd.Tessil_IsExistsUser("kim"));
    EXPECT_EQ(svr.Closes(c), 0);
    EXPECT_TRUE(svr.WaitFor([&] { return svr.Closes(c) == 1; }));
}

TEST_F(LoginCommands, OnlyTheOwnConnectionOrTheLoginPasswordMayLogAUserOut) {
    auto kim = Login("kim", "secret");
    auto lee = Login("lee");
    Send(lee, R"({"cmd":"LOGOUT","usrid":"kim","pass":"guess"})");
    Send(lee, R"({"cmd":"LOGOUTREQ","usrid":"kim","pass":"SECRET"})");
    EXPECT_EQ(After(lee, 1), (Texts{Msg("LOGOUT", "E012", "로그인 ID,PASS 오류"),
                                    Msg("LOGOUT", "E012", "로그인 ID,PASS 오류")}));
    EXPECT_TRUE(cmd.Tessil_IsExistsUser("kim"));
    EXPECT_EQ(svr.Closes(lee), 0);

    // A stale session is ended from a connection that never logged in, with the password.
    auto fresh = Connect();
    Send(fresh, R"({"cmd":"LOGOUTREQ","usrid":"kim","pass":"secret"})");
    EXPECT_EQ(svr.TextsFor(fresh), Texts{kLogoutOk});
    EXPECT_FALSE(cmd.Tessil_IsExistsUser("kim"));
    EXPECT_TRUE(svr.WaitFor([&] { return svr.Closes(fresh) == 1; }));
    EXPECT_EQ(svr.Closes(kim), 0);
}

TEST_F(LoginCommands, LogoutRequestsWithMissingMembersOrUnknownIds) {
    auto c = Connect();
    Send(c, R"({"cmd":"LOGOUT","usrid":"kim"})");
    Send(c, R"({"cmd":"LOGOUTREQ","usrid":"kim"})");
    Send(c, R"({"cmd":"LOGOUT","usrid":"nobody","pass":"x"})");
    Send(c, R"({"cmd":"LOGOUTREQ","usrid":"nobody","pass":"x"})");
    EXPECT_EQ(svr.TextsFor(c),
              (Texts{Msg("LOGOUT", "E011", "요청정보오류"), Msg("LOGIN", "E011", "요청정보오류"),
                     Msg("LOGOUT", "E013", "접속중이지 않습니다"),
                     Msg("LOGOUT", "E013", "접속중이지 않습니다")}));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(svr.Closes(c), 0);
}

TEST_F(LoginCommands, UserListAndFindUser) {
    auto kim = Login("kim");
    Send(kim, R"({"cmd":"USRLIST"})");
    Send(kim, R"({"cmd":"FINDUSER","usrid":"kim"})");
    Send(kim, R"({"cmd":"FINDUSER","usrid":"lee"})");
    Send(kim, R"({"cmd":"FINDUSER"})");
    EXPECT_EQ(After(kim, 1),
              (Texts{R"({"cmd":"USRLIST","code":"E000","data":[{"userid":"kim", "nickname":"", )"
                     R"("gcode":"G1", "roomno":"-2", "stat":0}]})",
                     R"({"cmd":"FINDUSER","code":"E000","data":[{"userid":"kim", "nickname":"", )"
                     R"("gcode":"G1"}]})",
                     R"({"cmd":"FINDUSER","code":"E000","data":[]})",
                     Msg("FINDUSER", "E015", "명령어 문법오류 (JSON)")}));
}

TEST_F(LoginCommands, ALoginHandledAfterItsConnectionClosedLeavesTheIdFree) {
    // The close completed (and its disconnect event found nobody to log out) while the
    // LOGIN was still being handled on another worker.
    auto gone = Connect();
    gone->FRemoved = true;
    Send(gone, R"({"cmd":"LOGIN","usrid":"ghost","pass":"pw","gcode":"G1"})");
    EXPECT_FALSE(cmd.Tessil_IsExistsUser("ghost"));
    EXPECT_NE(gone->FLoginState, 1);
    EXPECT_EQ(cmd.GameInfo().IndexMismatch(), "");
    auto again = Login("ghost");
    EXPECT_EQ(svr.TextsFor(again).back(), Msg("LOGIN", "E000", text::LoginOk));
}

TEST_F(LoginCommands, TheDisconnectPathTakesTheUserOutOfItsRoomAndTheLobby) {
    auto kim = Master("kim", "OPEN", "CONT", "roompass");
    auto lee = Member("lee", kim->FRoomNo, "roompass");
    const size_t seen = svr.TextsFor(kim).size();
    // What the window's disconnect handler does.
    cmd.Tessil_ExitRoom(lee);
    cmd.Tessil_CheckLogout(lee);
    EXPECT_FALSE(cmd.Tessil_IsExistsUser("lee"));
    EXPECT_EQ(After(kim, seen), Texts{Msg("USROUT", "E000", "플레이어 퇴실: lee")});
    // The master drops too: the room goes with him.
    cmd.Tessil_ExitRoom(kim);
    cmd.Tessil_CheckLogout(kim);
    EXPECT_EQ(cmd.Tessil_Check_RoomCount(), 0);
    EXPECT_EQ(cmd.GameInfo().UserCount(), 0);
}

}  // namespace
}  // namespace tessil
