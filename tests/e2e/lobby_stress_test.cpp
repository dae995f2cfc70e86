// Stress test over loopback: several threads, each driving a few clients, make, enter
// and leave rooms, chat, report ready and drop connections at once. Every request must
// be answered, and the lobby must end consistent and, once every client is gone, empty.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "tests/common/LobbyInvariants.h"
#include "tests/e2e/support/E2eServer.h"

namespace tessil {
namespace {

using namespace std::chrono_literals;
using test::Int;
using test::Text;

TEST(LobbyStress, ManyClientsMakeEnterLeaveAndDropAtOnce) {
    test::E2eServer server;
    constexpr int kThreads = 6;
    constexpr int kClients = 3;
    constexpr int kSteps = 150;
    std::atomic<int32_t> lastRoom{0};
    std::atomic<int> unanswered{0};
    std::vector<std::vector<std::unique_ptr<LobbyClient>>> clients(kThreads);

    auto worker = [&](int t) {
        std::mt19937 rng(t * 31 + 7);
        int generation = 0;
        auto login = [&] {
            return server.Login("t" + std::to_string(t) + "n" + std::to_string(generation++));
        };
        for (int i = 0; i < kClients; ++i) clients[t].push_back(login());
        auto ask = [&](LobbyClient& c, const std::string& cmd,
                       const std::vector<RequestMember>& members) {
            c.SendCommand(cmd, members);
            if (!c.WaitFor(cmd, 5s)) ++unanswered;
            c.TakeReplies();  // events of other players' actions
        };
        for (int step = 0; step < kSteps; ++step) {
            auto& slot = clients[t][rng() % kClients];
            LobbyClient& c = *slot;
            const int32_t room = lastRoom.load();
            switch (rng() % 7) {
                case 0: {
                    c.SendCommand("MAKEROOM", {Text("pass", ""), Text("subject", "s"),
                                               Text("roomtype", rng() % 2 ? "OPEN" : "CLOSE"),
                                               Text("roomterm", rng() % 2 ? "CONT" : "ONCE"),
                                               Text("gamecode", "G1")});
                    auto made = c.WaitFor("MAKEROOM", 5s);
                    if (!made)
                        ++unanswered;
                    else if (made->code == "E000")
                        lastRoom = std::stoi(made->data);
                    break;
                }
                case 1:
                    ask(c, "ENTERROOM",
                        {Int("roomNo", room), Text("pass", ""), Text("gamecode", "G1")});
                    break;
                case 2:
                    ask(c, "EXITROOM", {Int("roomNo", 0), Text("pass", ""), Text("gamecode", "")});
                    break;
                case 3:
                    ask(c, "USRMSGALL", {Int("roomNo", room), Text("mesg", "hi")});
                    break;
                case 4:
                    ask(c, "READYOK", {});
                    break;
                case 5:
                    ask(c, "ROOMLIST", {Int("roomNo", -1)});
                    break;
                default:
                    // The connection drops; a new one logs in in its place.
                    c.Close();
                    slot = login();
                    break;
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, t);
    for (auto& th : threads) th.join();
    EXPECT_EQ(unanswered.load(), 0);
    test::ExpectConsistentLobby(server.Cmd().GameInfo());

    for (auto& mine : clients)
        for (auto& c : mine) c->Close();
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (
        (server.Cmd().GameInfo().UserCount() != 0 || server.Cmd().Tessil_Check_RoomCount() != 0) &&
        std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(server.Cmd().GameInfo().UserCount(), 0);
    EXPECT_EQ(server.Cmd().Tessil_Check_RoomCount(), 0);
}

}  // namespace
}  // namespace tessil
