// A three-node cluster end to end: one ID per player across the nodes under a login race,
// the user and room lists and FINDUSER answered from every node, USRMSG across nodes,
// LOGOUT that frees an ID for every node, and LOGOUT of another node's user decided by that
// node (its password check and guessing lock), and the control panel's tables and Kick
// showing and reaching every node.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <httplib.h>

#include <atomic>
#include <thread>

#include "tests/cluster/support/ClusterHarness.h"

namespace tessil::clustertest {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;

class ClusterUsers : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!Cluster::RedisAvailable()) GTEST_SKIP() << "redis-server is not installed";
        cluster = std::make_unique<Cluster>(3);
        ASSERT_TRUE(cluster->Ok()) << "the cluster did not come up";
    }
    std::unique_ptr<Cluster> cluster;
};

TEST_F(ClusterUsers, LoginRaceFromAllNodesAdmitsExactlyOne) {
    constexpr int kRounds = 20;
    for (int round = 0; round < kRounds; ++round) {
        const std::string id = "racer" + std::to_string(round);
        std::vector<std::unique_ptr<LobbyClient>> clients;
        for (int n = 0; n < 3; ++n) clients.push_back(cluster->Connect(n));
        std::atomic<int> admitted{0}, refused{0};
        std::vector<std::thread> threads;
        for (int n = 0; n < 3; ++n) {
            threads.emplace_back([&, n] {
                clients[n]->SendCommand("LOGIN",
                                        {Text("usrid", id), Text("pass", "p"), Text("gcode", "G")});
                auto r = clients[n]->WaitFor("LOGIN");
                if (r && r->code == "E000")
                    ++admitted;
                else if (r && r->code == "E013")
                    ++refused;
            });
        }
        for (auto& t : threads) t.join();
        EXPECT_EQ(admitted, 1) << id;
        EXPECT_EQ(refused, 2) << id;
    }
}

TEST_F(ClusterUsers, ListsAndFindUserShowEveryNode) {
    auto kim = cluster->Login(0, "kim");
    auto lee = cluster->Login(1, "lee");
    auto park = cluster->Login(2, "park");
    ASSERT_TRUE(kim && lee && park);
    lee->SendCommand("MAKEROOM",
                     {Text("pass", ""), Text("subject", "room of lee"), Text("roomtype", "OPEN"),
                      Text("roomterm", "CONT"), Text("gamecode", "G1")});
    auto made = lee->WaitFor("MAKEROOM");
    ASSERT_TRUE(made && made->code == "E000");
    const std::string roomNo = made->data;

    for (int n = 0; n < 3; ++n) {
        auto& c = n == 0 ? *kim : n == 1 ? *lee : *park;
        const std::string list = ListShowing(c, "USRLIST", {}, roomNo);
        for (const char* id : {"kim", "lee", "park"})
            EXPECT_THAT(list, HasSubstr(std::string("\"userid\":\"") + id + "\"")) << "node " << n;
        EXPECT_THAT(list, HasSubstr("{\"userid\":\"lee\",\"nickname\":\"\",\"gcode\":\"G1\","
                                    "\"roomno\":\"" +
                                    roomNo + "\",\"stat\":1}"));

        c.SendCommand("FINDUSER", {Text("usrid", "park")});
        EXPECT_EQ(NextOf(c, "FINDUSER"),
                  "FINDUSER|E000|[{\"userid\":\"park\",\"nickname\":\"\",\"gcode\":\"G1\"}]");
        c.SendCommand("FINDUSER", {Text("usrid", "nobody")});
        EXPECT_EQ(NextOf(c, "FINDUSER"), "FINDUSER|E000|[]");

        const std::string rooms = ListShowing(c, "ROOMLIST", {Int("roomNo", -1)}, roomNo);
        EXPECT_THAT(rooms, HasSubstr("\"roomNo\":\"" + roomNo + "\",\"master\":\"lee\""));
        c.SendCommand("ROOMLIST", {Int("roomNo", std::stoi(roomNo))});
        EXPECT_THAT(NextOf(c, "ROOMLIST"), HasSubstr("\"subect\":\"roomoflee\""));
    }
}

TEST_F(ClusterUsers, UserMessageCrossesNodesAndLogoutFreesTheId) {
    auto kim = cluster->Login(0, "kim");
    auto lee = cluster->Login(2, "lee");
    ASSERT_TRUE(kim && lee);
    kim->SendCommand("USRMSG", {Text("usrid", "lee"), Text("mesg", "hello there")});
    EXPECT_EQ(NextOf(*kim, "USRMSG"), "USRMSG|E000|메시지 발송완료");
    EXPECT_EQ(Next(*lee), "USRMSG|E000|hellothere");
    kim->SendCommand("USRMSG", {Text("usrid", "ghost"), Text("mesg", "hi")});
    EXPECT_EQ(NextOf(*kim, "USRMSG"), "USRMSG|E020|메시지 전송 불가");

    // The ID is taken on every node while lee is logged in, and free once he leaves.
    auto again = cluster->Connect(1);
    again->SendCommand("LOGIN", {Text("usrid", "lee"), Text("pass", "p"), Text("gcode", "G")});
    EXPECT_EQ(NextOf(*again, "LOGIN"), "LOGIN|E013|이미 접속중인 사용자");
    lee->SendCommand("LOGOUT", {Text("usrid", "lee"), Text("pass", "pw")});
    EXPECT_THAT(NextOf(*lee, "LOGOUT"), HasSubstr("E000"));
    auto later = cluster->Login(1, "lee");
    EXPECT_TRUE(later);
    EXPECT_THAT(ListShowing(*kim, "USRLIST", {}, "\"lee\""), HasSubstr("\"userid\":\"lee\""));
}

TEST_F(ClusterUsers, LogoutOfAnotherNodesUserIsDecidedByItsNode) {
    // lee (node 2) sits in kim's room on node 0; the LOGOUTs come in on node 1.
    auto kim = cluster->Login(0, "kim");
    auto lee = cluster->Login(2, "lee");
    ASSERT_TRUE(kim && lee);
    kim->SendCommand("MAKEROOM", {Text("pass", ""), Text("subject", "t"), Text("roomtype", "OPEN"),
                                  Text("roomterm", "CONT"), Text("gamecode", "G1")});
    auto made = kim->WaitFor("MAKEROOM");
    ASSERT_TRUE(made && made->code == "E000");
    lee->SendCommand("ENTERROOM", {Int("roomNo", std::stoi(made->data)), Text("pass", ""),
                                   Text("gamecode", "G1")});
    ASSERT_EQ(NextOf(*lee, "ENTERROOM"), "ENTERROOM|E000|방입장 성공");

    const struct {
        const char* usrid;
        const char* pass;
        const char* reply;
    } cases[] = {
        {"ghost", "pw", "LOGOUT|E013|접속중이지 않습니다"},
        {"lee", "wrong", "LOGOUT|E012|로그인 ID,PASS 오류"},
        {"lee", "pw", "LOGOUT|E000|[]"},
    };
    for (const auto& c : cases) {
        auto requester = cluster->Connect(1);
        requester->SendCommand("LOGOUT", {Text("usrid", c.usrid), Text("pass", c.pass)});
        EXPECT_EQ(NextOf(*requester, "LOGOUT"), c.reply) << c.usrid << "/" << c.pass;
    }
    // Logged out where he is: he leaves the room on node 0 and his ID is free everywhere.
    EXPECT_EQ(NextOf(*kim, "USROUT"), "USROUT|E000|플레이어 퇴실: lee");
    EXPECT_TRUE(cluster->Login(1, "lee"));
}

TEST_F(ClusterUsers, LogoutGuessingIsCountedPerConnectionAndLocksTheIdOnItsNode) {
    auto lee = cluster->Login(2, "lee");
    ASSERT_TRUE(lee);
    auto wrong = [](LobbyClient& c) {
        c.SendCommand("LOGOUT", {Text("usrid", "lee"), Text("pass", "wrong")});
        return NextOf(c, "LOGOUT");
    };
    // Three wrong passwords close the guessing connection (counted on its own node) ...
    auto first = cluster->Connect(1);
    for (int i = 0; i < 3; ++i) EXPECT_THAT(wrong(*first), HasSubstr("LOGOUT|E012|"));
    EXPECT_TRUE(first->WaitClosed());
    // ... and five in all, from any node, lock the ID on lee's node: the right password is
    // refused too, and lee stays logged in.
    auto second = cluster->Connect(0);
    for (int i = 0; i < 2; ++i) EXPECT_THAT(wrong(*second), HasSubstr("LOGOUT|E012|"));
    auto third = cluster->Connect(0);
    third->SendCommand("LOGOUT", {Text("usrid", "lee"), Text("pass", "pw")});
    EXPECT_THAT(NextOf(*third, "LOGOUT"), HasSubstr("LOGOUT|E012|"));
    auto twin = cluster->Connect(1);
    twin->SendCommand("LOGIN", {Text("usrid", "lee"), Text("pass", "pw"), Text("gcode", "G")});
    EXPECT_EQ(NextOf(*twin, "LOGIN"), "LOGIN|E013|이미 접속중인 사용자");
}

TEST(ClusterPanel, TablesShowEveryNodeAndKickReachesAnyNode) {
    if (!Cluster::RedisAvailable()) GTEST_SKIP() << "redis-server is not installed";
    Cluster cluster(3, /*panels=*/true);
    ASSERT_TRUE(cluster.Ok()) << "the cluster did not come up";
    auto kim = cluster.Login(0, "kim");
    auto lee = cluster.Login(1, "lee");
    auto park = cluster.Login(2, "park");
    ASSERT_TRUE(kim && lee && park);
    lee->SendCommand("MAKEROOM",
                     {Text("pass", ""), Text("subject", "far"), Text("roomtype", "OPEN"),
                      Text("roomterm", "CONT"), Text("gamecode", "G1")});
    auto made = lee->WaitFor("MAKEROOM");
    ASSERT_TRUE(made && made->code == "E000");

    httplib::Client panel("127.0.0.1", cluster.PanelPort(0));
    // The other nodes' rows are read from the directory every second.
    auto until = [&](const std::string& path, const std::string& needle) {
        std::string body;
        for (int i = 0; i < 50 && body.find(needle) == std::string::npos; ++i) {
            if (i > 0) std::this_thread::sleep_for(100ms);
            auto r = panel.Get(path);
            body = r ? r->body : "";
        }
        return body;
    };
    const std::string users = until("/api/users", "\"id\":\"park\"");
    EXPECT_THAT(users, HasSubstr("{\"id\":\"kim\",\"gcode\":\"G1\",\"room\":-2"));
    EXPECT_THAT(users, HasSubstr("\"node\":\"n0\"}"));
    EXPECT_THAT(users, HasSubstr("{\"id\":\"lee\",\"gcode\":\"G1\",\"room\":" + made->data +
                                 ",\"state\":1,\"address\":\"\",\"since\":\"\",\"node\":\"n1\"}"));
    EXPECT_THAT(until("/api/rooms", made->data),
                HasSubstr("{\"number\":" + made->data +
                          ",\"master\":\"lee\",\"subject\":\"far\",\"type\":0,\"state\":0,"
                          "\"members\":[\"lee\"],\"node\":\"n1\"}"));

    // A request this node answers itself (USRLIST goes to the cluster's directory, not the
    // intake) is counted and has its window-log line, like any other.
    kim->SendCommand("USRLIST");
    ASSERT_TRUE(kim->WaitFor("USRLIST"));
    EXPECT_THAT(until("/api/state", "USRLIST"), HasSubstr(R"({\"cmd\":\"USRLIST\"})"));

    // Kick: a user of this node, a user of another node, and an unknown ID.
    const httplib::Headers header{{"X-Tessil-Panel", "1"}};
    for (const auto& [id, client, status] :
         {std::tuple{"kim", kim.get(), 200}, {"park", park.get(), 200}, {"nobody", nullptr, 404}}) {
        auto r = panel.Post("/api/kick", header, httplib::Params{{"usrid", id}});
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, status) << id;
        if (client) {
            EXPECT_TRUE(client->WaitClosed()) << id;
        }
    }
    EXPECT_TRUE(cluster.Login(1, "kim"));
    EXPECT_TRUE(cluster.Login(1, "park"));
}

}  // namespace
}  // namespace tessil::clustertest
