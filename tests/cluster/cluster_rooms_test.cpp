// Rooms whose members sit on different nodes: entry with the room's rules (password,
// CLOSE admission), chat, a full game of four over three nodes with every member seeing
// the same notices in the same order, and the master hand-over across nodes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/cluster/support/ClusterHarness.h"

namespace tessil::clustertest {
namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;

class ClusterRooms : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!Cluster::RedisAvailable()) GTEST_SKIP() << "redis-server is not installed";
        cluster = std::make_unique<Cluster>(3);
        ASSERT_TRUE(cluster->Ok()) << "the cluster did not come up";
    }

    // Players (id, node); the first makes the room, the others enter in turn.
    void Seat(const std::vector<std::pair<std::string, int>>& who, const std::string& type,
              const std::string& term, const std::string& pass = "") {
        for (const auto& [id, node] : who) {
            ids.push_back(id);
            players.push_back(cluster->Login(node, id));
            ASSERT_TRUE(players.back());
        }
        players[0]->SendCommand(
            "MAKEROOM", {Text("pass", pass), Text("subject", "table"), Text("roomtype", type),
                         Text("roomterm", term), Text("gamecode", "G1")});
        auto made = players[0]->WaitFor("MAKEROOM");
        ASSERT_TRUE(made && made->code == "E000");
        roomNo = std::stoi(made->data);
        for (size_t i = 1; i < players.size(); ++i) {
            Enter(i, pass);
            ASSERT_EQ(Next(*players[i]), "ENTERROOM|E000|방입장 성공") << ids[i];
            for (size_t j = 0; j < i; ++j)
                ASSERT_EQ(Next(*players[j]), "USRIN|E000|플레이어입장:" + ids[i]) << ids[j];
        }
    }
    void Enter(size_t i, const std::string& pass = "") {
        players[i]->SendCommand(
            "ENTERROOM", {Int("roomNo", roomNo), Text("pass", pass), Text("gamecode", "G1")});
    }
    void Request(size_t i, const std::string& cmd) {
        players[i]->SendCommand(cmd,
                                {Int("roomNo", roomNo), Text("pass", ""), Text("gamecode", "G1")});
    }
    // Every player's next events are exactly `events`, in this order.
    void ExpectAll(const std::vector<std::string>& events) {
        for (size_t i = 0; i < players.size(); ++i)
            for (const auto& e : events) EXPECT_EQ(Next(*players[i]), e) << ids[i];
    }

    std::unique_ptr<Cluster> cluster;
    std::vector<std::string> ids;
    std::vector<std::unique_ptr<LobbyClient>> players;
    int32_t roomNo = 0;
};

TEST_F(ClusterRooms, GameOfFourOverThreeNodes) {
    Seat({{"kim", 0}, {"lee", 1}, {"park", 2}, {"choi", 0}}, "CLOSE", "CONT");

    players[1]->SendCommand("USRMSGALL", {Int("roomNo", roomNo), Text("mesg", "hi all")});
    EXPECT_EQ(Next(*players[1]), "USRMSGALL|E000|메시지 발송완료");
    for (size_t i : {0, 2, 3}) EXPECT_EQ(Next(*players[i]), "USRMSGALL|E000|hiall") << ids[i];

    Request(0, "REQRDY");
    ExpectAll({"REQRDY|E000|게임시작준비요청"});
    for (size_t i = 0; i < players.size(); ++i) {
        players[i]->SendCommand("READYOK");
        const bool last = i + 1 == players.size();
        if (last)
            ExpectAll({"READYOK|E000|" + ids[i], "STARTOK|E000|게임시작"});
        else
            ExpectAll({"READYOK|E000|" + ids[i]});
    }
    // A CLOSE room in play admits nobody new, whatever node the newcomer is on.
    auto late = cluster->Login(2, "late");
    ASSERT_TRUE(late);
    late->SendCommand("ENTERROOM",
                      {Int("roomNo", roomNo), Text("pass", ""), Text("gamecode", "G1")});
    EXPECT_EQ(Next(*late), "ENTERROOM|E020|방입장 오류");

    for (size_t i = 0; i < players.size(); ++i) {
        players[i]->SendCommand("STARTOK");
        ExpectAll({"STARTOK|E000|" + ids[i]});
    }
    // A member on another node cannot ask for what only the master may.
    Request(2, "REQSTOP");
    EXPECT_EQ(Next(*players[2]), "REQSTOP|E014|게임중지처리오류, 다시 시도해 주시시 바랍니다");
    Request(0, "REQSTOP");
    ExpectAll({"REQSTOP|E000|게임중지요청"});
    for (size_t i = 1; i < players.size(); ++i) {
        players[i]->SendCommand("ENDOK");
        ExpectAll({"ENDOK|E000|" + ids[i]});
    }
    players[0]->SendCommand("ENDOK");
    ExpectAll({"ENDOK|E000|kim"});
    EXPECT_EQ(Next(*players[0]), "ENDGAME|E000|모든 플레이어가 게임을 종료하였습니다");

    // The list shows every member's state, wherever they sit.
    const std::string users =
        ListShowing(*late, "USRLIST", {},
                    "\"choi\",\"nickname\":\"\",\"gcode\":\"G1\",\"roomno\":\"" +
                        std::to_string(roomNo) + "\",\"stat\":4");
    for (const auto& id : ids)
        EXPECT_THAT(users, HasSubstr("\"userid\":\"" + id +
                                     "\",\"nickname\":\"\",\"gcode\":\"G1\","
                                     "\"roomno\":\"" +
                                     std::to_string(roomNo) + "\",\"stat\":4"));

    Request(3, "REQRESET");
    EXPECT_EQ(Next(*players[3]), "REQRESET|E026|메시지 전송 오류");
    players[0]->SendCommand("REQRESET");
    ExpectAll({"RESETGAME|E000|방 플레이 정보를 초기화 하였습니다"});
    late->SendCommand("ENTERROOM",
                      {Int("roomNo", roomNo), Text("pass", ""), Text("gamecode", "G1")});
    EXPECT_EQ(Next(*late), "ENTERROOM|E000|방입장 성공");
    ExpectAll({"USRIN|E000|플레이어입장:late"});
}

TEST_F(ClusterRooms, EntryRulesHoldForAnyNode) {
    Seat({{"kim", 0}, {"lee", 1}}, "OPEN", "CONT", "secret");
    auto park = cluster->Login(2, "park");
    ASSERT_TRUE(park);
    for (const char* wrong : {"", "Secret", "secret "}) {
        park->SendCommand("ENTERROOM",
                          {Int("roomNo", roomNo), Text("pass", wrong), Text("gamecode", "G1")});
        EXPECT_EQ(Next(*park), "ENTERROOM|E020|방입장 오류") << wrong;
    }
    park->SendCommand("ENTERROOM",
                      {Int("roomNo", roomNo + 1), Text("pass", ""), Text("gamecode", "G1")});
    EXPECT_EQ(Next(*park), "ENTERROOM|E020|방입장 오류");
    // Seated in a room on another node, a member is in a room for every command.
    Enter(1, "secret");
    EXPECT_EQ(Next(*players[1]), "ENTERROOM|E023|이미 게임방 입장 상태");
    players[1]->SendCommand("MAKEROOM",
                            {Text("pass", ""), Text("subject", "x"), Text("roomtype", "OPEN"),
                             Text("roomterm", "CONT"), Text("gamecode", "G1")});
    EXPECT_EQ(Next(*players[1]), "MAKEROOM|R001|방에 이미 입장한 상태입니다");
    // Leaving with the wrong number changes nothing; with the right one, everyone hears it.
    players[1]->SendCommand(
        "EXITROOM", {Int("roomNo", roomNo + 1), Text("pass", "secret"), Text("gamecode", "G1")});
    EXPECT_EQ(Next(*players[1]), "EXITROOM|E021|방탈퇴 처리오류(방번호, 비번, 게임코드 확인)");
    players[1]->SendCommand(
        "EXITROOM", {Int("roomNo", roomNo), Text("pass", "secret"), Text("gamecode", "G1")});
    EXPECT_EQ(Next(*players[0]), "USROUT|E000|플레이어 퇴실: lee");
    EXPECT_EQ(Next(*players[1]), "USROUT|E000|플레이어 퇴실: lee");
    EXPECT_EQ(Next(*players[1]), "EXITROOM|E000|방탈퇴 성공");
    // Out of the room, lee's requests run on his own node again.
    players[1]->SendCommand("USRMSGALL", {Int("roomNo", roomNo), Text("mesg", "x")});
    EXPECT_EQ(Next(*players[1]), "USRMSGALL|E024|방원만 발송가능합니다");
    EXPECT_EQ(Next(*players[1]), "USRMSGALL|E020|메시지 전송 불가");
}

TEST_F(ClusterRooms, MasterHandOverAcrossNodes) {
    Seat({{"kim", 0}, {"lee", 1}, {"park", 2}}, "OPEN", "CONT");
    players[0]->SendCommand("EXITROOM", {Int("roomNo", 0), Text("pass", ""), Text("gamecode", "")});
    EXPECT_EQ(Next(*players[0]), "USROUT|E000|플레이어 퇴실: kim");
    EXPECT_EQ(Next(*players[0]), "EXITROOM|E000|방탈퇴 성공");
    // One of the others became master: he alone hears CHGMAS, before the USROUT.
    size_t master = 0;
    for (size_t i : {1, 2}) {
        const std::string first = Next(*players[i]);
        if (first.rfind("CHGMAS", 0) == 0) {
            EXPECT_EQ(first, "CHGMAS|E000|방장 변경됨: " + ids[i]);
            master = i;
            EXPECT_EQ(Next(*players[i]), "USROUT|E000|플레이어 퇴실: kim");
        } else {
            EXPECT_EQ(first, "USROUT|E000|플레이어 퇴실: kim");
        }
    }
    ASSERT_NE(master, 0u);
    EXPECT_THAT(ListShowing(*players[0], "ROOMLIST", {Int("roomNo", roomNo)}, ids[master]),
                HasSubstr("\"master\":\"" + ids[master] + "\""));
    // The new master, on another node than the room, runs the game.
    Request(master, "REQSTART");
    for (size_t i : {1, 2}) EXPECT_EQ(Next(*players[i]), "REQSTART|E000|게임시작요청") << ids[i];
    // When the last master leaves a CONT room with one member left, the room goes on; when
    // that one leaves too, it is closed and the number is free in every list.
    players[master]->SendCommand("EXITROOM",
                                 {Int("roomNo", 0), Text("pass", ""), Text("gamecode", "")});
    const size_t other = master == 1 ? 2 : 1;
    EXPECT_EQ(Next(*players[other]), "CHGMAS|E000|방장 변경됨: " + ids[other]);
    EXPECT_EQ(Next(*players[other]), "USROUT|E000|플레이어 퇴실: " + ids[master]);
    players[other]->SendCommand("EXITROOM",
                                {Int("roomNo", 0), Text("pass", ""), Text("gamecode", "")});
    EXPECT_EQ(Next(*players[other]), "DELROOM|E000|개설방 폐쇄");
    EXPECT_EQ(Next(*players[other]), "EXITROOM|E000|방탈퇴 성공");
    EXPECT_EQ(ListShowing(*players[0], "ROOMLIST", {Int("roomNo", -1)}, "[]"), "ROOMLIST|E000|[]");
}

}  // namespace
}  // namespace tessil::clustertest
