// Stress test of the registry: many threads, each acting as a few connections, log the
// same and different IDs in and out, make, enter, leave and drop rooms, chat and list at
// once; the registry must end consistent and, after everyone has gone, empty.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "tests/common/LobbyInvariants.h"
#include "tests/lobby/LobbyFixture.h"

namespace tessil {
namespace {

using RegistryStress = test::LobbyFixture;

TEST_F(RegistryStress, ConcurrentUsersAndRoomsLeaveAConsistentRegistry) {
    constexpr int kThreads = 8;
    constexpr int kConnections = 3;
    constexpr int kSteps = 1500;
    std::atomic<int> nextPort{1};
    std::vector<std::vector<TClientRecPtr>> conns(kThreads);

    auto worker = [&](int t) {
        std::mt19937 rng(t * 7919 + 1);
        auto& mine = conns[t];
        auto fresh = [&] { return test::MakeClient(std::to_string(nextPort++)); };
        for (int i = 0; i < kConnections; ++i) mine.push_back(fresh());
        for (int step = 0; step < kSteps; ++step) {
            TClientRecPtr& c = mine[rng() % kConnections];
            const std::string id = "u" + std::to_string(rng() % 20);
            switch (rng() % 10) {
                case 0:
                    if (c->FLoginState != 1 && lobby.AddNewUser(c, id, "pw", "", "G", "", "", ""))
                        c->FLoginState = 1;
                    break;
                case 1:
                    lobby.MakeRoom("s", "", rng() % 2 ? "OPEN" : "CLOSE", rng() % 2 ? "CONT" : "",
                                   "G", c);
                    break;
                case 2: {
                    std::string list = lobby.GetRoomList(-1);
                    auto pos = list.find("\"roomNo\":\"");
                    if (pos != std::string::npos && c->FLoginState == 1) {
                        int32_t no = std::stoi(list.substr(pos + 10, 9));
                        if (lobby.EnterRoom(no, "", "G", c)) c->FGameStat = 1;
                    }
                    break;
                }
                case 3:
                    lobby.ExitRoom(c, 0, "", "");
                    break;
                case 4:
                    lobby.BroadcastMsgToRoom("USRMSGALL", 1, "hello", c);
                    c->FGameStat = 2;
                    lobby.BroadcastStatMsgToRoom("READYOK", "x", c, 1);
                    break;
                case 5:
                    lobby.ChangeRoomStat(c, 1);
                    lobby.ResetRoom("REQRESET", "x", c);
                    break;
                case 6:
                    lobby.GetAllUserList();
                    lobby.FindUserID(id);
                    lobby.SendMesgToUser("USRMSG", id, "hi", c);
                    break;
                case 7:
                    // Logout by ID: may hit another connection's user.
                    lobby.LogoutUser(id);
                    break;
                default:
                    // The connection drops: the disconnect path, then a new connection.
                    lobby.ExitRoom(c, 0, "", "");
                    lobby.LogoutClient(c);
                    c = fresh();
                    break;
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, t);
    for (auto& th : threads) th.join();

    test::ExpectConsistentLobby(lobby);
    EXPECT_GT(svr.All().size(), 0u);
    for (auto& mine : conns) {
        for (auto& c : mine) {
            lobby.ExitRoom(c, 0, "", "");
            lobby.LogoutClient(c);
        }
    }
    // Users logged out by ID left their records logged in, but nothing listed remains.
    EXPECT_EQ(lobby.RoomCount(), 0);
    EXPECT_EQ(lobby.UserCount(), 0);
}

// Chats find their room without the registry's lock and fan out under the room's order
// lock alone; clearing the registry meanwhile must not pull a member list from under them
// (a data race for the thread sanitizer) and must leave nothing behind.
TEST_F(RegistryStress, ChatsRacingARegistryClearLeaveItEmpty) {
    for (int round = 0; round < 20; ++round) {
        auto master = MakeRoomFor("m" + std::to_string(round));
        std::vector<TClientRecPtr> members{master};
        for (int i = 0; i < 4; ++i)
            members.push_back(Enter("p" + std::to_string(round) + "_" + std::to_string(i),
                                    master->FRoomNo));
        std::atomic<int> sent{0};
        std::atomic<bool> stop{false};
        std::vector<std::thread> chatters;
        for (const auto& c : members) {
            chatters.emplace_back([&, c] {
                while (!stop) {
                    lobby.BroadcastMsgToRoom("USRMSGALL", 1, "hi", c);
                    ++sent;
                }
            });
        }
        while (sent < 100) std::this_thread::yield();
        lobby.ClearAllData();
        stop = true;
        for (auto& t : chatters) t.join();
        EXPECT_EQ(lobby.RoomCount(), 0);
        EXPECT_EQ(lobby.UserCount(), 0);
        EXPECT_EQ(lobby.IndexMismatch(), "");
    }
}

}  // namespace
}  // namespace tessil
