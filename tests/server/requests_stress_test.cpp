// Stress test of request handling: many threads, each acting as a few connections, send
// random requests through Server_DataReceived (login, lists, rooms, chat, reports,
// logout) and drop connections through the disconnect path; the registry must end
// consistent, every request counted, and empty once every connection has gone.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "tests/common/LobbyInvariants.h"
#include "tests/server/ServerFixture.h"

namespace tessil {
namespace {

using RequestsStress = test::ServerFixture;

TEST_F(RequestsStress, ManyClientsAtOnceLeaveAConsistentLobby) {
    constexpr int kThreads = 8;
    constexpr int kConnections = 3;
    constexpr int kSteps = 800;
    std::atomic<int> nextPort{1};
    std::atomic<int32_t> lastRoom{0};
    std::vector<std::vector<TClientRecPtr>> conns(kThreads);

    auto worker = [&](int t) {
        std::mt19937 rng(t * 104729 + 3);
        auto& mine = conns[t];
        auto fresh = [&] { return test::MakeClient(std::to_string(nextPort++)); };
        for (int i = 0; i < kConnections; ++i) mine.push_back(fresh());
        auto send = [&](const TClientRecPtr& c, const std::string& json) {
            intake.Server_DataReceived(c, test::RequestBody(json));
        };
        for (int step = 0; step < kSteps; ++step) {
            TClientRecPtr& c = mine[rng() % kConnections];
            const std::string id = "u" + std::to_string(rng() % 20);
            const std::string room = std::to_string(lastRoom.load());
            switch (rng() % 11) {
                case 0:
                    send(c, R"({"cmd":"LOGIN","usrid":")" + id + R"(","pass":"pw","gcode":"G"})");
                    break;
                case 1:
                    send(c, R"({"cmd":"MAKEROOM","pass":"","subject":"s","roomtype":"OPEN",)"
                            R"("roomterm":")" +
                                std::string(rng() % 2 ? "CONT" : "ONCE") + R"(","gamecode":"G"})");
                    if (c->FRoomNo > 0) lastRoom = c->FRoomNo.load();
                    break;
                case 2:
                    send(c, R"({"cmd":"ENTERROOM","roomNo":)" + room +
                                R"(,"pass":"","gamecode":"G"})");
                    break;
                case 3:
                    send(c, R"({"cmd":"EXITROOM","roomNo":0,"pass":"","gamecode":""})");
                    break;
                case 4:
                    send(c,
                         R"({"cmd":"USRMSGALL","roomNo":)" + room + R"(,"mesg":"hi \"there\""})");
                    break;
                case 5:
                    send(c, R"({"cmd":"READYOK"})");
                    send(c, R"({"cmd":"REQRDY","roomNo":1,"pass":"","gamecode":""})");
                    break;
                case 6:
                    send(c, R"({"cmd":"REQRESET"})");
                    send(c, R"({"cmd":"ENDOK"})");
                    break;
                case 7:
                    send(c, R"({"cmd":"USRLIST"})");
                    send(c, R"({"cmd":"ROOMLIST","roomNo":-1})");
                    break;
                case 8:
                    send(c, R"({"cmd":"USRMSG","usrid":")" + id + R"(","mesg":"x"})");
                    break;
                case 9:
                    send(c, R"({"cmd":"LOGOUT","usrid":")" + id + R"(","pass":"pw"})");
                    break;
                default:
                    // The connection drops: what the window's disconnect handler runs.
                    cmd.Tessil_ExitRoom(c);
                    cmd.Tessil_CheckLogout(c);
                    c = fresh();
                    break;
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, t);
    for (auto& th : threads) th.join();

    test::ExpectConsistentLobby(cmd.GameInfo());
    EXPECT_GE(intake.ProcessCount(), static_cast<uint64_t>(kThreads * kSteps * 8 / 10));
    for (auto& mine : conns) {
        for (auto& c : mine) {
            cmd.Tessil_ExitRoom(c);
            cmd.Tessil_CheckLogout(c);
        }
    }
    EXPECT_EQ(cmd.Tessil_Check_RoomCount(), 0);
    EXPECT_EQ(cmd.GameInfo().UserCount(), 0);
}

}  // namespace
}  // namespace tessil

namespace tessil {
namespace {

using ReadyRace = test::ServerFixture;

TEST_F(ReadyRace, MembersReportingReadyAtOnceStartTheGameExactlyOnce) {
    auto kim = Master("kim");
    auto lee = Member("lee", kim->FRoomNo);
    const std::string start = MakeMsgForClient("STARTOK", "E000", "게임시작");
    for (int round = 0; round < 1000; ++round) {
        svr.Clear();
        std::atomic<int> arrived{0};
        auto report = [&](const TClientRecPtr& c) {
            ++arrived;
            while (arrived.load() < 2) {
            }
            Send(c, R"({"cmd":"READYOK"})");
        };
        std::thread a(report, kim);
        std::thread b(report, lee);
        a.join();
        b.join();
        auto texts = svr.TextsFor(kim);
        ASSERT_EQ(std::count(texts.begin(), texts.end(), start), 1) << "round " << round;
        Send(kim, R"({"cmd":"REQRESET"})");
    }
}

}  // namespace
}  // namespace tessil
