// End-to-end tests of chat and the game flow over loopback: room chat (with quotes and
// backslashes arriving as valid JSON), messages to one user, the master's requests, the
// member reports, and a full game of four from MAKEROOM to ENDGAME and REQRESET.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "tests/e2e/support/E2eServer.h"

namespace tessil {
namespace {

using test::Int;
using test::Next;
using test::Quiet;
using test::Text;

class LobbyGame : public ::testing::Test {
  protected:
    // Logs in the players; the first makes a room ("CLOSE", "CONT") and the others enter.
    void Seat(const std::vector<std::string>& ids) {
        for (const auto& id : ids) players.push_back(server.Login(id));
        LobbyClient& master = *players[0];
        master.SendCommand("MAKEROOM",
                           {Text("pass", ""), Text("subject", "table"), Text("roomtype", "CLOSE"),
                            Text("roomterm", "CONT"), Text("gamecode", "G1")});
        auto made = master.WaitFor("MAKEROOM");
        ASSERT_TRUE(made && made->code == "E000");
        roomNo = std::stoi(made->data);
        for (size_t i = 1; i < players.size(); ++i) {
            players[i]->SendCommand(
                "ENTERROOM", {Int("roomNo", roomNo), Text("pass", ""), Text("gamecode", "G1")});
            ASSERT_EQ(Next(*players[i]), "ENTERROOM|E000|방입장 성공");
            for (size_t j = 0; j < i; ++j)
                ASSERT_EQ(Next(*players[j]), "USRIN|E000|플레이어입장:" + ids[i]);
        }
    }
    // Every seated player's next event is `event`.
    void ExpectAll(const std::string& event) {
        for (auto& p : players) EXPECT_EQ(Next(*p), event);
    }
    void MasterRequest(const std::string& cmd) {
        players[0]->SendCommand(cmd,
                                {Int("roomNo", roomNo), Text("pass", ""), Text("gamecode", "G1")});
    }

    test::E2eServer server;
    std::vector<std::unique_ptr<LobbyClient>> players;
    int32_t roomNo = 0;
};

TEST_F(LobbyGame, ChatReachesTheOthersOnlyAsValidJson) {
    Seat({"kim", "lee", "park"});
    auto& kim = *players[0];
    kim.SendCommand("USRMSGALL", {Int("roomNo", roomNo), Text("mesg", R"(say "hi" \o/ now)")});
    EXPECT_EQ(Next(kim), "USRMSGALL|E000|메시지 발송완료");
    for (size_t i = 1; i < players.size(); ++i) {
        auto chat = players[i]->WaitReply();
        ASSERT_TRUE(chat);
        EXPECT_TRUE(chat->isJson) << chat->text;
        EXPECT_EQ(chat->data, R"(say"hi"\o/now)");
    }
    kim.SendCommand("USRDEF", {Int("roomNo", roomNo), Text("mesg", "   ")});
    EXPECT_EQ(Next(kim), "USRDEF|E020|2.메시지 전송 불가");
    kim.SendCommand("USRDEF", {Int("roomNo", roomNo), Text("mesg", "g g")});
    EXPECT_EQ(Next(kim), "USRDEF|E000|1.메시지 발송완료");
    EXPECT_EQ(Next(*players[1]), "USRDEF|E000|gg");
    kim.SendCommand("USRDEF", {Int("roomNo", roomNo)});
    EXPECT_EQ(Next(kim), "USRDEF|E015|3.요청형식오류(JSON)");
    EXPECT_TRUE(Quiet(kim));  // the sender never hears its own chat
}

TEST_F(LobbyGame, ChatAndMessagesFromOutsideARoom) {
    Seat({"kim"});
    auto choi = server.Login("choi");
    choi->SendCommand("USRMSGALL", {Int("roomNo", roomNo), Text("mesg", "hi")});
    EXPECT_EQ(Next(*choi), "USRMSGALL|E024|방원만 발송가능합니다");
    EXPECT_EQ(Next(*choi), "USRMSGALL|E020|메시지 전송 불가");
    choi->SendCommand("USRMSGALL", {Int("roomNo", 0), Text("mesg", "hi")});
    EXPECT_EQ(Next(*choi), "USRMSGALL|E020|메시지 전송 불가");
    choi->SendCommand("USRMSG", {Text("usrid", "kim"), Text("mesg", "psst")});
    EXPECT_EQ(Next(*choi), "USRMSG|E000|메시지 발송완료");
    EXPECT_EQ(Next(*players[0]), "USRMSG|E000|psst");
    choi->SendCommand("USRMSG", {Text("usrid", "nobody"), Text("mesg", "psst")});
    EXPECT_EQ(Next(*choi), "USRMSG|E020|메시지 전송 불가");
    choi->SendCommand("readyok");
    EXPECT_EQ(Next(*choi), "readyok|E025|게임방에 참여하고 있지 않습니다");
}

TEST_F(LobbyGame, OnlyTheMasterRequestsAndTheRequestReachesEveryMember) {
    Seat({"kim", "lee"});
    players[1]->SendCommand("REQSTART",
                            {Int("roomNo", roomNo), Text("pass", ""), Text("gamecode", "G1")});
    EXPECT_EQ(Next(*players[1]),
              "REQSTART|E014|게임시작요청 알림처리오류, 다시 시도해 주시시 바랍니다");
    players[1]->SendCommand("REQRESET");
    EXPECT_EQ(Next(*players[1]), "REQRESET|E026|메시지 전송 오류");
    players[0]->SendCommand("reqstart",
                            {Int("roomNo", roomNo), Text("pass", ""), Text("gamecode", "G1")});
    ExpectAll("reqstart|E000|게임시작요청");
    EXPECT_TRUE(Quiet(*players[0]));
}

TEST_F(LobbyGame, AFullGameOfFourFromMakeRoomToEndGameAndReset) {
    Seat({"kim", "lee", "park", "choi"});
    MasterRequest("REQRDY");
    ExpectAll("REQRDY|E000|게임시작준비요청");
    const std::vector<std::string> ids{"kim", "lee", "park", "choi"};
    for (size_t i = 0; i < players.size(); ++i) {
        players[i]->SendCommand(i % 2 ? "readyok" : "READYOK");
        ExpectAll("READYOK|E000|" + ids[i]);
    }
    ExpectAll("STARTOK|E000|게임시작");
    for (size_t i = 0; i < players.size(); ++i) {
        players[i]->SendCommand("STARTOK");
        ExpectAll("STARTOK|E000|" + ids[i]);
    }
    // A newcomer is turned away while the game runs.
    auto late = server.Login("late");
    late->SendCommand("ENTERROOM",
                      {Int("roomNo", roomNo), Text("pass", ""), Text("gamecode", "G1")});
    EXPECT_EQ(Next(*late), "ENTERROOM|E020|방입장 오류");
    for (size_t i = players.size(); i-- > 0;) {
        players[i]->SendCommand("ENDOK");
        ExpectAll("ENDOK|E000|" + ids[i]);
    }
    EXPECT_EQ(Next(*players[0]), "ENDGAME|E000|모든 플레이어가 게임을 종료하였습니다");
    for (auto& p : players) EXPECT_TRUE(Quiet(*p));

    players[0]->SendCommand("REQRESET");
    ExpectAll("RESETGAME|E000|방 플레이 정보를 초기화 하였습니다");
    players[0]->SendCommand("ROOMLIST", {Int("roomNo", roomNo)});
    auto list = players[0]->WaitFor("ROOMLIST");
    ASSERT_TRUE(list);
    EXPECT_NE(list->data.find(R"("rstat":0)"), std::string::npos);
    EXPECT_EQ(list->data.find(R"("stat":4)"), std::string::npos);
    // After the reset the room admits newcomers again.
    late->SendCommand("ENTERROOM",
                      {Int("roomNo", roomNo), Text("pass", ""), Text("gamecode", "G1")});
    EXPECT_EQ(Next(*late), "ENTERROOM|E000|방입장 성공");
    ExpectAll("USRIN|E000|플레이어입장:late");
}

}  // namespace
}  // namespace tessil
