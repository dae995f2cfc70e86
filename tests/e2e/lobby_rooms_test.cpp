// End-to-end tests of the room commands over loopback with several clients: making,
// listing, entering (USRIN to the others only), refusals, leaving, the master's
// hand-over and the room's deletion with every member reset.
#include <gtest/gtest.h>

#include "tests/e2e/support/E2eServer.h"

namespace tessil {
namespace {

using test::Int;
using test::Next;
using test::Quiet;
using test::Text;

class LobbyRooms : public ::testing::Test {
  protected:
    // Makes a room as client c; returns its number (0 when refused).
    int32_t MakeRoom(LobbyClient& c, const std::string& type = "OPEN",
                     const std::string& term = "CONT", const std::string& pass = "") {
        c.SendCommand("MAKEROOM",
                      {Text("pass", pass), Text("subject", "my room"), Text("roomtype", type),
                       Text("roomterm", term), Text("gamecode", "G1")});
        auto reply = c.WaitFor("MAKEROOM");
        return reply && reply->code == "E000" ? std::stoi(reply->data) : 0;
    }
    void Enter(LobbyClient& c, int32_t no, const std::string& pass = "") {
        c.SendCommand("ENTERROOM", {Int("roomNo", no), Text("pass", pass), Text("gamecode", "G1")});
    }
    void Exit(LobbyClient& c, int32_t no, const std::string& pass = "",
              const std::string& gcode = "") {
        c.SendCommand("EXITROOM", {Int("roomNo", no), Text("pass", pass), Text("gamecode", gcode)});
    }

    test::E2eServer server;
};

TEST_F(LobbyRooms, MakeRoomRefusalsAndTheNineDigitNumber) {
    auto kim = server.Login("kim");
    kim->SendCommand("MAKEROOM", {Text("pass", ""), Text("subject", "s")});
    EXPECT_EQ(Next(*kim), "MAKEROOM|E019|방생성에 따른 명령어 문법오류 (JSON)");
    kim->SendCommand("MAKEROOM", {Text("pass", ""), Text("subject", ""), Text("roomtype", "OPEN"),
                                  Text("roomterm", ""), Text("gamecode", "G1")});
    EXPECT_EQ(Next(*kim), "MAKEROOM|E017|방생성에 따른 정보가 부족합니다");
    kim->SendCommand("MAKEROOM", {Text("pass", ""), Text("subject", "s"), Text("roomtype", "BOTH"),
                                  Text("roomterm", ""), Text("gamecode", "G1")});
    EXPECT_EQ(Next(*kim), "MAKEROOM|E018|신규방 생성실패");
    const int32_t no = MakeRoom(*kim, "OPEN", "CONT", "pw");
    EXPECT_GE(no, 100000000);
    EXPECT_LE(no, 199999999);
    EXPECT_EQ(MakeRoom(*kim), 0);
    EXPECT_EQ(kim->TakeReplies().size(), 0u);

    auto lee = server.Login("lee");
    const std::string item = R"({"roomNo":")" + std::to_string(no) +
                             R"(","master":"kim","subect":"myroom","rtype":0,"rpass":1,"rstat":0,)"
                             R"("player":[{"userid":"kim","nickname":"","stat":1}]})";
    lee->SendCommand("ROOMLIST", {Int("roomNo", no)});
    EXPECT_EQ(Next(*lee), "ROOMLIST|E000|[" + item + "]");
    lee->SendCommand("ROOMLIST", {Int("roomNo", -1)});
    EXPECT_EQ(Next(*lee), "ROOMLIST|E000|[" + item + "]");
    lee->SendCommand("ROOMLIST");
    EXPECT_EQ(Next(*lee), "ROOMLIST|E015|명령어 문법오류 (JSON)");
}

TEST_F(LobbyRooms, EnteringIsAnnouncedToTheOthersOnlyAndRefusedWhereItMust) {
    auto kim = server.Login("kim");
    const int32_t no = MakeRoom(*kim, "CLOSE", "CONT", "Pw");
    auto lee = server.Login("lee");
    auto park = server.Login("park");
    Enter(*lee, no, "pw");
    EXPECT_EQ(Next(*lee), "ENTERROOM|E020|방입장 오류");
    Enter(*kim, no, "Pw");
    EXPECT_EQ(Next(*kim), "ENTERROOM|E023|이미 게임방 입장 상태");
    Enter(*lee, no, "Pw");
    EXPECT_EQ(Next(*lee), "ENTERROOM|E000|방입장 성공");
    EXPECT_EQ(Next(*kim), "USRIN|E000|플레이어입장:lee");
    Enter(*lee, no, "Pw");
    EXPECT_EQ(Next(*lee), "ENTERROOM|E023|이미 게임방 입장 상태");

    // A CLOSE room with its game under way turns newcomers away.
    kim->SendCommand("REQRDY", {Int("roomNo", no), Text("pass", "Pw"), Text("gamecode", "G1")});
    EXPECT_EQ(Next(*kim), "REQRDY|E000|게임시작준비요청");
    EXPECT_EQ(Next(*lee), "REQRDY|E000|게임시작준비요청");
    lee->SendCommand("READYOK");
    EXPECT_EQ(Next(*lee), "READYOK|E000|lee");
    EXPECT_EQ(Next(*kim), "READYOK|E000|lee");
    Enter(*park, no, "Pw");
    EXPECT_EQ(Next(*park), "ENTERROOM|E020|방입장 오류");
    EXPECT_TRUE(Quiet(*lee));
}

TEST_F(LobbyRooms, LeavingRepliesAndTheLeaverHearsHisOwnNotice) {
    auto kim = server.Login("kim");
    const int32_t no = MakeRoom(*kim, "OPEN", "CONT", "Pw");
    auto lee = server.Login("lee");
    Enter(*lee, no, "Pw");
    EXPECT_EQ(Next(*lee), "ENTERROOM|E000|방입장 성공");
    EXPECT_EQ(Next(*kim), "USRIN|E000|플레이어입장:lee");
    Exit(*lee, no, "Pw", "G2");
    EXPECT_EQ(Next(*lee), "EXITROOM|E021|방탈퇴 처리오류(방번호, 비번, 게임코드 확인)");
    Exit(*lee, -1, "Pw", "G1");
    EXPECT_EQ(Next(*lee), "EXITROOM|E021|방탈퇴 처리오류(방번호 확인바람)");
    Exit(*lee, 0);
    EXPECT_EQ(Next(*lee), "USROUT|E000|플레이어 퇴실: lee");
    EXPECT_EQ(Next(*lee), "EXITROOM|E000|방탈퇴 성공");
    EXPECT_EQ(Next(*kim), "USROUT|E000|플레이어 퇴실: lee");
}

TEST_F(LobbyRooms, TheMasterOfAContRoomHandsItOverOtherwiseTheRoomCloses) {
    auto kim = server.Login("kim");
    auto lee = server.Login("lee");
    const int32_t cont = MakeRoom(*kim, "OPEN", "CONT");
    Enter(*lee, cont);
    EXPECT_EQ(Next(*lee), "ENTERROOM|E000|방입장 성공");
    EXPECT_EQ(Next(*kim), "USRIN|E000|플레이어입장:lee");
    Exit(*kim, cont, "", "G1");
    EXPECT_EQ(Next(*kim), "USROUT|E000|플레이어 퇴실: kim");
    EXPECT_EQ(Next(*kim), "EXITROOM|E000|방탈퇴 성공");
    EXPECT_EQ(Next(*lee), "CHGMAS|E000|방장 변경됨: lee");
    EXPECT_EQ(Next(*lee), "USROUT|E000|플레이어 퇴실: kim");
    kim->SendCommand("ROOMLIST", {Int("roomNo", cont)});
    auto list = kim->WaitFor("ROOMLIST");
    ASSERT_TRUE(list);
    EXPECT_NE(list->data.find(R"("master":"lee")"), std::string::npos);

    // lee's room closes with him when he leaves a one-time room he masters.
    Exit(*lee, 0);
    EXPECT_EQ(Next(*lee), "DELROOM|E000|개설방 폐쇄");
    EXPECT_EQ(Next(*lee), "EXITROOM|E000|방탈퇴 성공");
    const int32_t once = MakeRoom(*kim, "OPEN", "ONCE");
    auto park = server.Login("park");
    Enter(*lee, once);
    Enter(*park, once);
    EXPECT_EQ(Next(*lee), "ENTERROOM|E000|방입장 성공");
    EXPECT_EQ(Next(*park), "ENTERROOM|E000|방입장 성공");
    Exit(*kim, 0);
    for (auto* c : {kim.get(), lee.get(), park.get()}) {
        std::string event;
        do event = Next(*c);
        while (event.rfind("USRIN", 0) == 0);
        EXPECT_EQ(event, "DELROOM|E000|개설방 폐쇄");
    }
    EXPECT_EQ(Next(*kim), "EXITROOM|E000|방탈퇴 성공");
    // Every former member is in no room again and may make one.
    EXPECT_GT(MakeRoom(*lee), 0);
    EXPECT_GT(MakeRoom(*park), 0);
}

}  // namespace
}  // namespace tessil
