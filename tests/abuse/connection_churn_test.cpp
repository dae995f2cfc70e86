// Connection churn against the real server: tens of thousands of connections that open and
// drop at every stage (before the header, mid-header, mid-body, after the handshake, after
// login) must leave the server's descriptors, threads and memory where they started.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "protocol/MsgFrame.h"
#include "tests/abuse/support/AbuseKit.h"

namespace tessil::abuse {
namespace {

// Waits until fn() <= target, at most `limit`; returns the last value.
template <typename Fn>
long Settle(Fn fn, long target, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    long v = fn();
    while (v > target && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(50ms);
        v = fn();
    }
    return v;
}

TEST(ConnectionChurn, FortyThousandConnectDropCyclesLeaveDescriptorsThreadsAndMemoryAsTheyWere) {
    ServerProcess server;
    ASSERT_TRUE(server.Started()) << server.Output();
    constexpr int kThreads = 4;
    std::atomic<int> done{0}, refused{0};
    auto churn = [&](int cycles) {
        auto worker = [&](int index) {
            for (int i = index; i < cycles; i += kThreads) {
                Client c;
                // Spread over source addresses so a per-address cap sees a few at a time.
                if (!c.Connect(server.Port(), 1 + i % 200)) {
                    ++refused;
                    continue;
                }
                switch (i % 5) {
                    case 0:
                        break;  // drop at once
                    case 1:
                        c.SendRaw(std::string("\x10\x00", 2));  // half a header
                        break;
                    case 2:
                        c.SendRaw(TMsgHeader{1000, mtData}.Encode() + "TXT");  // body cut short
                        break;
                    case 3:
                        c.Handshake("churn");
                        break;
                    case 4:
                        c.Handshake("churn");
                        c.Request(R"({"cmd":"LOGIN","usrid":"u)" + std::to_string(i) +
                                  R"(","pass":"p","gcode":"g"})");
                        break;
                }
                c.Abort();  // a reset leaves no TIME_WAIT behind, so ports never run out
                ++done;
            }
        };
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, t);
        for (auto& t : threads) t.join();
    };
    // A first round brings the allocator's caches and the bounded logs to their working
    // size; the second must then leave nothing behind.
    const int fdsAtStart = server.Fds();
    const int threadsAtStart = server.Threads();
    churn(10000);
    churn(10000);
    // The baseline is taken once the warm-up's connections are all closed.
    const int fdsBefore =
        static_cast<int>(Settle([&] { return long{server.Fds()}; }, fdsAtStart, 20s));
    const int threadsBefore =
        static_cast<int>(Settle([&] { return long{server.Threads()}; }, threadsAtStart, 10s));
    const long rssBefore = server.RssKiB();
    done = 0;
    refused = 0;
    constexpr int kCycles = 40000;
    churn(kCycles);
    EXPECT_EQ(done.load() + refused.load(), kCycles);
    EXPECT_LT(refused.load(), kCycles / 100) << "connections refused";

    const long fdsAfter = Settle([&] { return long{server.Fds()}; }, fdsBefore, 20s);
    const long threadsAfter = Settle([&] { return long{server.Threads()}; }, threadsBefore, 10s);
    const long rssAfter = server.RssKiB();
    std::printf("40000 connect/drop cycles: fds %d -> %ld, threads %d -> %ld, RSS %ld -> %ld KiB\n",
                fdsBefore, fdsAfter, threadsBefore, threadsAfter, rssBefore, rssAfter);
    EXPECT_EQ(fdsAfter, fdsBefore);
    EXPECT_EQ(threadsAfter, threadsBefore);
    // The allocator keeps freed memory in per-thread arenas that settle over several rounds
    // (a trim gives it back); what a leak of 400 bytes a cycle would cost, 16 MB, is not.
    EXPECT_LT(rssAfter - rssBefore, 16 * 1024) << "KiB";
    EXPECT_TRUE(server.Running());

    Client honest;
    ASSERT_TRUE(honest.Connect(server.Port(), 201));
    EXPECT_TRUE(honest.Login("honest"));
}

}  // namespace
}  // namespace tessil::abuse
