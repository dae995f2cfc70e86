// The message server under concurrent load: clients exchanging data and heartbeats while
// the server fans shared frames out, connections come and go, and the server side
// disconnects some of them. Checks per-client reply order, exactly-once disconnects and,
// under the thread sanitizer, the absence of data races.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "client/LobbyClient.h"
#include "tests/common/MsgServerHarness.h"
#include "tests/common/RawSocket.h"

namespace tessil {
namespace {

using namespace std::chrono_literals;

TEST(MsgServerStress, RepliesKeepTheirOrderWhileConnectionsChurnAndFramesFanOut) {
    test::MsgServerHarness h;
    // Echo every data message back from the worker that handled it.
    h.onData = [](TCommonMsgServer& s, const TClientRecPtr& c, std::string_view body) {
        s.SendString(body, c);
    };
    constexpr int kClients = 6;
    constexpr int kRounds = 200;
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};

    std::vector<std::thread> threads;
    for (int t = 0; t < kClients; ++t) {
        threads.emplace_back([&, t] {
            LobbyClient c;
            c.Connect("127.0.0.1", h.Port());
            if (!c.Handshake({"client" + std::to_string(t), "u", "p", "v"})) ++failures;
            for (int n = 0; n < kRounds; ++n) {
                std::string msg = std::to_string(t) + ":" + std::to_string(n);
                c.SendFrame(mtData, msg);
                c.SendFrame(mtHeartbeat, {});
                // Fan-out frames may come in between; the client's own replies keep order.
                auto echo = c.WaitFrame(
                    [](const Frame& f) { return f.type == mtData && f.body != "fanout"; });
                auto beat = c.WaitFrame([](const Frame& f) { return f.type == mtHeartbeat; });
                if (!echo || echo->body != msg || !beat) {
                    ++failures;
                    return;
                }
            }
        });
    }
    std::thread fanout([&] {
        auto frame = std::make_shared<const std::string>(EncodeFrame(mtData, "fanout"));
        while (!stop.load()) {
            auto clients = h.Locked([&] { return h.connected; });
            for (const auto& c : clients) h.server.SendFrame(frame, c);
            std::this_thread::sleep_for(2ms);
        }
    });
    std::thread churn([&] {
        for (int i = 0; i < 150 && !stop.load(); ++i) {
            test::RawSocket s;
            if (!s.Connect(h.Port())) continue;
            s.SendFrame(mtHeartbeat, "");
            if (i % 3 == 0) {
                s.Abort();
            } else if (i % 3 == 1) {
                // Closed from the server side while it may be busy with the connection.
                sockaddr_in local{};
                socklen_t len = sizeof local;
                ::getsockname(s.fd(), reinterpret_cast<sockaddr*>(&local), &len);
                std::string port = std::to_string(ntohs(local.sin_port));
                TClientRecPtr mine;
                h.WaitUntil([&] {
                    for (const auto& c : h.connected)
                        if (c->FPort == port) mine = c;
                    return mine != nullptr;
                });
                h.server.DisconnectClient(mine);
                if (!s.WaitClosed(2s)) ++failures;
            }
        }
    });
    for (auto& t : threads) t.join();
    stop = true;
    fanout.join();
    churn.join();
    EXPECT_EQ(failures.load(), 0);

    h.server.DisconnectAll();
    ASSERT_TRUE(h.WaitUntil([&] { return h.disconnected.size() == h.connected.size(); }, 10s));
    h.Locked([&] {
        for (const auto& [rec, n] : h.disconnectCount) EXPECT_EQ(n, 1);
    });
    EXPECT_EQ(h.server.GetClientCount(), 0);
}

}  // namespace
}  // namespace tessil
