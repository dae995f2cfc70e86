// The engine's bounds against the real server: attackers before and after login hold a
// bounded amount of memory (RSS measured before, during and after), and a flooder is
// paused and then closed while the chat of another room keeps its latency.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "protocol/MsgFrame.h"
#include "tests/abuse/support/AbuseKit.h"

namespace tessil::abuse {
namespace {

using Clock = std::chrono::steady_clock;

long SettleRss(const ServerProcess& s, long target, std::chrono::milliseconds limit) {
    const auto until = Clock::now() + limit;
    long v = s.RssKiB();
    while (v > target && Clock::now() < until) {
        std::this_thread::sleep_for(100ms);
        v = s.RssKiB();
    }
    return v;
}

TEST(EngineBounds, AttackersHoldBoundedMemoryAndGiveItBackWhenGone) {
    ServerProcess server(std::map<std::string, std::string>{{"OutputSoftBytes", "1048576"},
                                                            {"OutputSoftMs", "1500"}});
    ASSERT_TRUE(server.Started()) << server.Output();
    // Listed users make every user list a few KiB long.
    std::vector<Client> crowd(60);
    for (size_t i = 0; i < crowd.size(); ++i) {
        ASSERT_TRUE(crowd[i].Connect(server.Port(), 100 + static_cast<int>(i)));
        ASSERT_TRUE(crowd[i].Login("crowd-member-with-a-long-name-" + std::to_string(i)));
    }
    const long before = server.RssKiB();

    // Before login: twenty connections announce 120 MiB bodies and start sending them.
    std::vector<Client> big(20);
    for (size_t i = 0; i < big.size(); ++i) {
        ASSERT_TRUE(big[i].Connect(server.Port(), 1 + static_cast<int>(i)));
        big[i].SendRaw(TMsgHeader{120u << 20, mtData}.Encode() + std::string(64 << 10, 'x'));
    }
    // After login: ten clients that never read pipeline two thousand user lists each, far
    // more than the kernel's buffers hold.
    std::vector<Client> stalled(10);
    for (size_t i = 0; i < stalled.size(); ++i) {
        ASSERT_TRUE(stalled[i].Connect(server.Port(), 30 + static_cast<int>(i)));
        ASSERT_TRUE(stalled[i].Login("stall" + std::to_string(i)));
        for (int k = 0; k < 2000; ++k) stalled[i].Request(R"({"cmd":"USRLIST"})");
    }
    std::this_thread::sleep_for(1000ms);
    const long during = server.RssKiB();
    std::this_thread::sleep_for(2500ms);  // the soft limit's hold passes
    int closedBig = 0, closedStalled = 0;
    for (auto& c : big) closedBig += c.WaitClosed(2s) ? 1 : 0;
    for (auto& c : stalled) closedStalled += c.WaitClosed(5s) ? 1 : 0;
    big.clear();
    stalled.clear();
    const long after = SettleRss(server, before + 4096, 8s);
    std::printf("[ figures  ] RSS KiB before %ld, during %ld (%ld per attacker), after %ld\n",
                before, during, (during - before) / 30, after);
    EXPECT_EQ(closedBig, 20) << "oversized bodies are refused at their header";
    EXPECT_EQ(closedStalled, 10) << "a backlog held above the soft limit is closed";
    // A stalled reader holds about the soft limit (reading pauses there), a sender of an
    // oversized body nothing.
#ifndef __SANITIZE_ADDRESS__
    // Under AddressSanitizer freed memory waits in its quarantine and the allocator never
    // gives it back, so the server's resident size says nothing about these bounds there.
    EXPECT_LT(during - before, 10 * 3 * 1024 + 20 * 64) << "memory per attacker is bounded";
    EXPECT_LT(after - before, 4096) << "memory goes back once they are gone";
#endif
}

// Delivery latency (ms) of chat between two members of a room, 200 messages one at a time.
std::vector<double> ChatLatencies(Client& a, Client& b, const std::string& roomNo) {
    std::vector<double> ms;
    for (int i = 0; i < 200; ++i) {
        const auto t0 = Clock::now();
        if (!a.Request(R"({"cmd":"USRMSGALL","roomNo":)" + roomNo + R"(,"mesg":"hi"})")) break;
        for (;;) {
            auto text = b.NextText(2s);
            if (!text) return ms;
            if (text->find("USRMSGALL") != std::string::npos) break;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        a.NextText(2s);  // the sender's own reply
    }
    std::sort(ms.begin(), ms.end());
    return ms;
}

double P99(const std::vector<double>& sorted) {
    return sorted.empty() ? 1e9 : sorted[sorted.size() * 99 / 100];
}

TEST(EngineBounds, AFlooderIsClosedAndOtherRoomsKeepTheirLatency) {
    ServerProcess server(
        {{"RequestsPerSecond", "500"}, {"RequestBurst", "200"}, {"FloodMs", "2000"}});
    ASSERT_TRUE(server.Started()) << server.Output();
    Client a, b, flooder;
    ASSERT_TRUE(a.Connect(server.Port(), 1) && a.Login("alice"));
    ASSERT_TRUE(b.Connect(server.Port(), 2) && b.Login("bob"));
    ASSERT_TRUE(flooder.Connect(server.Port(), 3) && flooder.Login("flood"));
    auto makeRoom = [](Client& c) {
        c.Request(
            R"({"cmd":"MAKEROOM","subject":"s","pass":"","roomtype":"OPEN","roomterm":"CONT","gamecode":"G1"})");
        auto made = c.NextText(2s);
        std::string no = made ? DataOf(*made) : "";
        no.erase(std::remove(no.begin(), no.end(), '"'), no.end());
        return no;
    };
    const std::string no = makeRoom(a);
    ASSERT_EQ(no.size(), 9u);
    ASSERT_TRUE(
        b.Request(R"({"cmd":"ENTERROOM","roomNo":)" + no + R"(,"pass":"","gamecode":"G1"})"));
    while (auto t = a.NextText(300ms)) {
    }
    while (auto t = b.NextText(300ms)) {
    }
    const double quiet = P99(ChatLatencies(a, b, no));

    // The flooder makes a room of his own and chats into it as fast as TCP takes it.
    const std::string his = makeRoom(flooder);
    ASSERT_EQ(his.size(), 9u);
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        const std::string spam = R"({"cmd":"USRMSGALL","roomNo":)" + his + R"(,"mesg":"spam"})";
        while (!stop && flooder.Request(spam)) {
        }
    });
    std::this_thread::sleep_for(300ms);
    const double loaded = P99(ChatLatencies(a, b, no));
    const bool closed = flooder.WaitClosed(10s);
    stop = true;
    flood.join();
    std::printf("[ figures  ] chat p99 quiet %.2f ms, beside a flooder %.2f ms\n", quiet, loaded);
    EXPECT_TRUE(closed) << "a sustained flood is closed";
    // Other rooms are not starved while the flooder is throttled and then closed. This is
    // a bound, not a measurement (latency is measured by the benchmarks): the allowance
    // takes in what a machine busy with other work adds to a sub-millisecond figure, a few
    // scheduling delays of tens of milliseconds under the sanitizers.
    EXPECT_LE(loaded, std::max(2 * quiet, quiet + 250.0));
}

}  // namespace
}  // namespace tessil::abuse
