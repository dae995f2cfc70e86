// End-to-end tests of logging in and out over loopback: a duplicate login closes its
// connection, LOGOUT answers and closes, a stale session is ended by its own password,
// and a client that drops is logged out of the lobby and its room.
#include <gtest/gtest.h>

#include <thread>

#include "tests/e2e/support/E2eServer.h"

namespace tessil {
namespace {

using namespace std::chrono_literals;
using test::Int;
using test::Next;
using test::Text;

class LobbyLogin : public ::testing::Test {
  protected:
    test::E2eServer server;
};

TEST_F(LobbyLogin, DuplicateLoginIsRefusedAndOnlyThatConnectionCloses) {
    auto kim = server.Login("kim");
    auto again = server.Connect();
    again->SendCommand("LOGIN", {Text("usrid", "kim"), Text("pass", "pw"), Text("gcode", "G1")});
    EXPECT_EQ(Next(*again), "LOGIN|E013|이미 접속중인 사용자");
    EXPECT_TRUE(again->WaitClosed(3s));
    kim->SendCommand("FINDUSER", {Text("usrid", "kim")});
    EXPECT_EQ(Next(*kim), R"(FINDUSER|E000|[{"userid":"kim","nickname":"","gcode":"G1"}])");
}

TEST_F(LobbyLogin, LogoutAnswersWithTheFixedNoticeAndClosesTheConnection) {
    auto kim = server.Login("kim");
    kim->SendCommand("LOGOUT", {Text("usrid", "kim"), Text("pass", "pw")});
    auto reply = kim->WaitReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->text, R"({"CMD":"LOGOUT", "CODE":"E000", "DATA":[]})");
    EXPECT_TRUE(kim->WaitClosed(3s));
    auto lee = server.Login("lee");
    lee->SendCommand("USRLIST");
    EXPECT_EQ(
        Next(*lee),
        R"(USRLIST|E000|[{"userid":"lee","nickname":"","gcode":"G1","roomno":"-2","stat":0}])");
}

TEST_F(LobbyLogin, AStaleSessionIsEndedWithItsPasswordAndThenTurnedAway) {
    auto stale = server.Login("kim", "secret");
    auto other = server.Connect();
    other->SendCommand("LOGOUTREQ", {Text("usrid", "kim"), Text("pass", "wrong")});
    EXPECT_EQ(Next(*other), "LOGOUT|E012|로그인 ID,PASS 오류");
    other->SendCommand("LOGOUTREQ", {Text("usrid", "kim"), Text("pass", "secret")});
    EXPECT_EQ(Next(*other), "LOGOUT|E000|[]");
    EXPECT_TRUE(other->WaitClosed(3s));
    auto fresh = server.Login("kim", "secret");
    stale->SendCommand("USRLIST");
    EXPECT_EQ(Next(*stale), "USRLIST|E012|등록되지 않은 사용자입니다");
    EXPECT_TRUE(stale->WaitClosed(3s));
    // The stale connection's close does not touch the new session.
    fresh->SendCommand("FINDUSER", {Text("usrid", "kim")});
    EXPECT_EQ(Next(*fresh), R"(FINDUSER|E000|[{"userid":"kim","nickname":"","gcode":"G1"}])");
}

TEST_F(LobbyLogin, AClientThatDropsLeavesItsRoomAndTheLobby) {
    auto kim = server.Login("kim");
    kim->SendCommand("MAKEROOM", {Text("pass", ""), Text("subject", "s"), Text("roomtype", "OPEN"),
                                  Text("roomterm", "CONT"), Text("gamecode", "G1")});
    auto made = kim->WaitFor("MAKEROOM");
    ASSERT_TRUE(made && made->code == "E000");
    auto lee = server.Login("lee");
    lee->SendCommand("ENTERROOM", {Int("roomNo", std::stoi(made->data)), Text("pass", ""),
                                   Text("gamecode", "G1")});
    EXPECT_EQ(Next(*lee), "ENTERROOM|E000|방입장 성공");
    EXPECT_EQ(Next(*kim), "USRIN|E000|플레이어입장:lee");
    lee->Close();
    EXPECT_EQ(Next(*kim), "USROUT|E000|플레이어 퇴실: lee");
    // The room exit is announced before the logout of the closed connection completes.
    for (int i = 0; i < 50 && server.Cmd().Tessil_IsExistsUser("lee"); ++i)
        std::this_thread::sleep_for(20ms);
    kim->SendCommand("FINDUSER", {Text("usrid", "lee")});
    EXPECT_EQ(Next(*kim), "FINDUSER|E000|[]");
    // The master drops: the room goes with him.
    kim->Close();
    auto park = server.Login("park");
    for (int i = 0; i < 50 && server.Cmd().Tessil_Check_RoomCount() != 0; ++i)
        std::this_thread::sleep_for(20ms);
    park->SendCommand("ROOMLIST", {Int("roomNo", -1)});
    EXPECT_EQ(Next(*park), "ROOMLIST|E000|[]");
}

}  // namespace
}  // namespace tessil
