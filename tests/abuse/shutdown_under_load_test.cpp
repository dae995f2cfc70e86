// SIGTERM while hundreds of clients are logged in, sit in rooms and chat: the process must
// run its close sequence and exit 0 in about the time that sequence takes.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/abuse/support/AbuseKit.h"

namespace tessil::abuse {
namespace {

TEST(ShutdownUnderLoad, SigtermWithFiveHundredActiveClientsExitsZeroPromptly) {
    ServerProcess server;
    ASSERT_TRUE(server.Started()) << server.Output();
    constexpr int kClients = 500;
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kClients; ++i) {
        auto c = std::make_unique<Client>();
        ASSERT_TRUE(c->Connect(server.Port(), 1 + i)) << i;
        ASSERT_TRUE(c->Login("load" + std::to_string(i))) << i;
        clients.push_back(std::move(c));
    }
    // Every tenth client makes a room; the next one enters it.
    for (int i = 0; i + 1 < kClients; i += 10) {
        ASSERT_TRUE(clients[i]->Request(R"({"cmd":"MAKEROOM","pass":"","subject":"s",)"
                                        R"("roomtype":"OPEN","roomterm":"CONT","gamecode":"G1"})"));
        auto made = clients[i]->NextText();
        ASSERT_TRUE(made && CmdCode(*made) == "MAKEROOM|E000");
        const std::string roomNo = DataOf(*made);
        ASSERT_TRUE(clients[i + 1]->Request(R"({"cmd":"ENTERROOM","roomNo":)" + roomNo +
                                            R"(,"pass":"","gamecode":"G1"})"));
    }
    // Chatter keeps the workers busy while the signal arrives.
    std::atomic<bool> stop{false};
    std::thread chatter([&] {
        for (int n = 0; !stop; ++n) {
            auto& c = clients[(n % (kClients / 10)) * 10];
            if (!c->Request(R"({"cmd":"USRLIST"})")) break;
            std::this_thread::sleep_for(1ms);
        }
    });
    std::this_thread::sleep_for(300ms);
    const auto t0 = std::chrono::steady_clock::now();
    server.Signal(SIGTERM);
    const int code = server.Wait(20s);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    stop = true;
    chatter.join();
    std::printf("SIGTERM with %d active clients: exit %d after %lld ms\n", kClients, code,
                static_cast<long long>(ms));
    EXPECT_EQ(code, 0) << server.Output();
    // The close sequence itself waits 1000 ms, then up to 500 ms for the closes.
    EXPECT_LT(ms, 5000);
    for (auto& c : clients) EXPECT_TRUE(c->WaitClosed(5s));
}

}  // namespace
}  // namespace tessil::abuse
