// The control panel and the operations endpoint under hostile clients, in process with
// small bounds: sockets that trickle their headers are cut at the request deadline and
// cannot starve an operator's request, a full queue answers 503 at once, event streams
// and connections per address are capped, a chunked body is refused before it is read,
// and an address counts as loopback only when the bound socket is.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/LimitEvents.h"
#include "server/ControlLoop.h"
#include "server/FormView.h"
#include "server/panel/PanelServer.h"

namespace tessil {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;

class IdleForm : public IFormControl {
  public:
    TMainFormView View() const override { return {}; }
    TAppMetrics Metrics() const override { return {}; }
    void StartBtnClick() override {}
    void StopBtnClick() override {}
    void Button2Click() override {}
    void Button1Click() override {}
    void SetViewLog(bool) override {}
};

uint64_t Refusals(const std::string& name) {
    uint64_t n = 0;
    limits::ForEachRefusal([&](const std::string& k, uint64_t v) {
        if (k == name) n = v;
    });
    return n;
}

// A raw TCP connection to 127.0.0.1:port from the source address `from`.
int Connect(uint16_t port, const char* from = "127.0.0.1") {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in src{};
    src.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &src.sin_addr);
    ::bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src);
    sockaddr_in dst{};
    dst.sin_family = AF_INET;
    dst.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &dst.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&dst), sizeof dst) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// What the server sends until it closes (or `limit` passes).
std::string ReadUntilClosed(int fd, std::chrono::milliseconds limit) {
    std::string got;
    const auto until = Clock::now() + limit;
    char buf[4096];
    while (Clock::now() < until) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

class PanelAbuse : public ::testing::Test {
  protected:
    void Start(THttpLimits limits, std::string token = "", std::string host = "127.0.0.1") {
        loop.StartThread();
        panel = std::make_unique<PanelServer>(
            form, loop, [] {}, PanelOptions{host, 0, token, true, limits});
        ASSERT_TRUE(panel->Start(&error)) << error;
    }
    void TearDown() override {
        if (panel) panel->Stop();
        loop.Quit();
        loop.Join();
    }
    ControlLoop loop;
    IdleForm form;
    std::unique_ptr<PanelServer> panel;
    std::string error;
};

TEST_F(PanelAbuse, TricklingSocketsAreCutAndTheOperatorIsStillServed) {
    THttpLimits l;
    l.threads = 4;
    l.queue = 8;
    l.perAddress = 100;
    l.requestTime = 1s;
    Start(l, "tok");
    const uint64_t cutBefore = Refusals("panel_request_time");

    // 16 sockets each send one header byte every 300 ms, forever.
    std::vector<int> slow;
    for (int i = 0; i < 16; ++i) slow.push_back(Connect(panel->BoundPort()));
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
        const std::string req = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Pad: ";
        for (size_t i = 0; !stop; ++i) {
            for (int fd : slow) (void)::send(fd, &req[i % req.size()], 1, MSG_NOSIGNAL);
            std::this_thread::sleep_for(300ms);
        }
    });

    // An authorised request gets an answer within a bounded time: 503 at once while the
    // queue is full, or its turn once the sockets queued ahead of it are cut, each holding
    // a thread for at most one request deadline (queue / threads rounds, plus the round
    // running when it arrived); then 200.
    const auto bound = (l.queue / l.threads + 1) * l.requestTime + 500ms;
    httplib::Client op("127.0.0.1", panel->BoundPort());
    op.set_read_timeout(std::chrono::duration_cast<std::chrono::seconds>(bound).count() + 2, 0);
    const auto t0 = Clock::now();
    int status = 0;
    int answers503 = 0;
    auto worst = Clock::duration::zero();
    while (status != 200 && Clock::now() - t0 < 10s) {
        const auto asked = Clock::now();
        auto res = op.Get("/metrics", {{"Authorization", "Bearer tok"}});
        ASSERT_TRUE(res) << "no answer";
        worst = std::max(worst, Clock::now() - asked);
        status = res->status;
        if (status != 200) {
            ++answers503;
            std::this_thread::sleep_for(100ms);
        }
    }
    EXPECT_LT(worst, bound);
    std::printf(
        "16 trickling sockets: /metrics answered 200 after %lld ms (%d quick 503s before, "
        "slowest answer %lld ms)\n",
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count()),
        answers503,
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(worst).count()));
    EXPECT_EQ(status, 200);

    // Every trickling socket was answered 503 or closed by the deadline.
    for (int fd : slow) {
        const std::string got = ReadUntilClosed(fd, 5s);
        EXPECT_TRUE(got.empty() || got.rfind("HTTP/1.1 503", 0) == 0) << got;
    }
    stop = true;
    trickle.join();
    for (int fd : slow) ::close(fd);
    EXPECT_GE(Refusals("panel_request_time") - cutBefore, 4u);
}

TEST_F(PanelAbuse, AFullQueueAnswers503AtOnce) {
    THttpLimits l;
    l.threads = 2;
    l.queue = 1;
    l.perAddress = 100;
    l.requestTime = 3s;
    Start(l);
    const uint64_t before = Refusals("panel_queue");
    // Two silent connections hold both threads, a third waits in the queue.
    std::vector<int> held;
    for (int i = 0; i < 3; ++i) {
        held.push_back(Connect(panel->BoundPort()));
        std::this_thread::sleep_for(100ms);
    }
    const int late = Connect(panel->BoundPort());
    const auto t0 = Clock::now();
    EXPECT_THAT(ReadUntilClosed(late, 2s), HasSubstr("HTTP/1.1 503 Service Unavailable\r\n"));
    EXPECT_LT(Clock::now() - t0, 1s);
    EXPECT_EQ(Refusals("panel_queue") - before, 1u);
    for (int fd : held) ::close(fd);
    ::close(late);
}

TEST_F(PanelAbuse, EventStreamsAndConnectionsPerAddressAreCapped) {
    THttpLimits l;
    l.threads = 6;
    l.streams = 1;
    l.perAddress = 2;
    l.requestTime = 2s;
    Start(l);

    httplib::Client first("127.0.0.1", panel->BoundPort());
    std::atomic<bool> stop{false}, opened{false};
    std::thread stream([&] {
        first.Get("/events", [&](const char*, size_t) {
            opened = true;
            return !stop;
        });
    });
    // The stream holds its slot once its first event has arrived.
    for (int i = 0; i < 1000 && !opened; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(opened);
    httplib::Client second("127.0.0.1", panel->BoundPort());
    auto res = second.Get("/events");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 503);
    EXPECT_THAT(res->body, HasSubstr("too many event streams"));

    // The open stream is one connection from 127.0.0.1; two more sockets make three, and
    // one of them is refused. Which one depends on the order the server takes them in.
    const int idle = Connect(panel->BoundPort());
    const int third = Connect(panel->BoundPort());
    const std::string a = ReadUntilClosed(idle, 2s), b = ReadUntilClosed(third, 2s);
    EXPECT_THAT(a + b, HasSubstr("503 Service Unavailable\r\n"));
    // Another address is served.
    const int other = Connect(panel->BoundPort(), "127.0.0.2");
    const std::string get = "GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    ASSERT_EQ(::send(other, get.data(), get.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(get.size()));
    EXPECT_THAT(ReadUntilClosed(other, 2s), HasSubstr("{\"status\":\"stopped\"}"));
    for (int fd : {idle, third, other}) ::close(fd);
    stop = true;
    panel->Stop();
    stream.join();
}

TEST_F(PanelAbuse, AChunkedBodyIsRefusedBeforeItIsRead) {
    Start(THttpLimits{});
    const int fd = Connect(panel->BoundPort());
    const std::string head =
        "POST /api/cls HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Tessil-Panel: 1\r\n"
        "Transfer-Encoding: chunked\r\n\r\n";
    ASSERT_GT(::send(fd, head.data(), head.size(), MSG_NOSIGNAL), 0);
    // The answer comes before any chunk is sent.
    EXPECT_THAT(ReadUntilClosed(fd, 3s), HasSubstr("HTTP/1.1 413"));
    ::close(fd);

    httplib::Client c("127.0.0.1", panel->BoundPort());
    auto big = c.Post("/api/cls", {{"X-Tessil-Panel", "1"}}, std::string(5000, 'x'), "text/plain");
    ASSERT_TRUE(big);
    EXPECT_EQ(big->status, 413);
}

TEST_F(PanelAbuse, OnlyABoundLoopbackSocketIsLoopback) {
    // All addresses: not loopback, whatever the text; refused without a token.
    PanelServer open(
        form, loop, [] {}, PanelOptions{"0.0.0.0", 0, "", true, THttpLimits{}});
    EXPECT_FALSE(open.Start(&error));
    EXPECT_THAT(error, HasSubstr("not a loopback address"));
    // A name that merely starts like a loopback address is not taken for one.
    PanelServer name(
        form, loop, [] {}, PanelOptions{"127.example.net", 0, "", true, THttpLimits{}});
    EXPECT_FALSE(name.Start(&error));
    // With a token the same address is served.
    PanelServer guarded(
        form, loop, [] {}, PanelOptions{"0.0.0.0", 0, "t", true, THttpLimits{}});
    ASSERT_TRUE(guarded.Start(&error)) << error;
    httplib::Client c("127.0.0.1", guarded.BoundPort());
    EXPECT_EQ(c.Get("/healthz")->status, 401);
    EXPECT_EQ(c.Get("/healthz", {{"Authorization", "Bearer t"}})->status, 503);
    guarded.Stop();
}

}  // namespace
}  // namespace tessil
