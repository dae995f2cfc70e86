// Engine under load: a million packets posted from several threads, and an echo over
// 1000 loopback connections moving over 100 MB with every byte checked, every channel
// freed exactly once and every descriptor given back.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "iocpengine/DnTcpReactor.h"
#include "iocpengine/DnTcpRequests.h"
#include "support/EngineTestKit.h"

namespace tessil {
namespace {

TEST(EngineStress, MillionPostedPacketsAreEachHandledOnce) {
    constexpr int kProducers = 4;
    constexpr int kPerProducer = 250000;
    constexpr int kTotal = kProducers * kPerProducer;
    auto seen = std::make_unique<std::atomic<uint8_t>[]>(kTotal);
    for (int i = 0; i < kTotal; ++i) seen[i].store(0);
    std::atomic<int> handled{0};
    testkit::RunningReactor rr(4);
    rr.reactor().SetOnUserMessage([&](TDnThreadContext*, TDnTcpChannel*, int32_t type, void* data) {
        const int index = type * kPerProducer + static_cast<int>(reinterpret_cast<uintptr_t>(data));
        seen[index].fetch_add(1);
        handled.fetch_add(1);
    });
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; ++i)
                rr.reactor().PostUserSignal(reinterpret_cast<void*>(uintptr_t(i)), p, nullptr);
        });
    for (auto& t : producers) t.join();
    for (int i = 0; i < 12000 && handled.load() < kTotal; ++i) usleep(10000);
    ASSERT_EQ(handled.load(), kTotal);
    int wrong = 0;
    for (int i = 0; i < kTotal; ++i) wrong += seen[i].load() != 1;
    EXPECT_EQ(wrong, 0);
}

std::atomic<int> gChannelsFreed{0};

class CountedChannel : public TDnTcpChannel {
  public:
    using TDnTcpChannel::TDnTcpChannel;
    ~CountedChannel() override { gChannelsFreed.fetch_add(1); }
};

// Echoes every received block back and reads on; closes when the peer does.
class EchoHandler : public IDnTcpReadHandler, public IDnTcpWriteHandler, public IDnTcpCloseHandler {
  public:
    void DoRead(TDnThreadContext*, TDnTcpChannel* ch, void*, const char* buf,
                uint32_t size) override {
        ch->RunRequest(TDnTcpWriteRequest::CreateString(ch, nullptr, this, std::string(buf, size)));
        ch->RunRequest(TDnTcpReadRequest::CreateString(ch, nullptr, this, 16384, false));
    }
    void DoReadError(TDnThreadContext*, TDnTcpChannel* ch, void*, uint32_t) override { Close(ch); }
    void DoReadClose(TDnThreadContext*, TDnTcpChannel* ch, void*) override { Close(ch); }
    void DoWrite(TDnThreadContext*, TDnTcpChannel*, void*, const char*, uint32_t) override {}
    void DoWriteError(TDnThreadContext*, TDnTcpChannel*, void*, uint32_t) override {}
    void DoWriteStream(TDnThreadContext*, TDnTcpChannel*, void*, std::istream&) override {}
    void DoClose(TDnThreadContext*, TDnTcpChannel*, void*) override { closes.fetch_add(1); }
    void DoCloseError(TDnThreadContext*, TDnTcpChannel*, void*, uint32_t) override {
        closes.fetch_add(1);
    }
    std::atomic<int> closes{0};

  private:
    void Close(TDnTcpChannel* ch) {
        ch->RunRequest(new TDnTcpCloseRequest(ch, nullptr, this, false));
    }
};

uint8_t PatternByte(int client, size_t offset) {
    return static_cast<uint8_t>((offset * 131 + offset / 251 + static_cast<size_t>(client) * 7) &
                                0xFF);
}

struct ClientState {
    int fd = -1;
    int index = 0;
    size_t sent = 0;
    size_t received = 0;
    bool bad = false;
};

// Drives a set of non-blocking clients: sends each its pattern and checks the echo.
void DriveClients(std::vector<ClientState>& clients, size_t perClient, std::atomic<int>& badCount) {
    int ep = epoll_create1(EPOLL_CLOEXEC);
    for (auto& c : clients) {
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT;
        ev.data.ptr = &c;
        epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &ev);
    }
    size_t done = 0;
    std::vector<uint8_t> out(32768), in(65536);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(240);
    while (done < clients.size() && std::chrono::steady_clock::now() < deadline) {
        epoll_event evs[64];
        int n = epoll_wait(ep, evs, 64, 100);
        for (int i = 0; i < n; ++i) {
            auto& c = *static_cast<ClientState*>(evs[i].data.ptr);
            if ((evs[i].events & EPOLLOUT) && c.sent < perClient) {
                size_t chunk = std::min(out.size(), perClient - c.sent);
                for (size_t k = 0; k < chunk; ++k) out[k] = PatternByte(c.index, c.sent + k);
                ssize_t w = send(c.fd, out.data(), chunk, MSG_NOSIGNAL);
                if (w > 0) c.sent += static_cast<size_t>(w);
                if (c.sent == perClient) {
                    epoll_event ev{};
                    ev.events = EPOLLIN;
                    ev.data.ptr = &c;
                    epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &ev);
                }
            }
            if (evs[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                ssize_t r = recv(c.fd, in.data(), in.size(), 0);
                if (r <= 0) {
                    if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
                        c.bad = true;
                        epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
                        ++done;
                    }
                    continue;
                }
                for (ssize_t k = 0; k < r; ++k)
                    if (in[k] != PatternByte(c.index, c.received + k)) c.bad = true;
                c.received += static_cast<size_t>(r);
                if (c.received >= perClient) {
                    if (c.received != perClient) c.bad = true;
                    epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
                    ++done;
                }
            }
        }
    }
    for (auto& c : clients) {
        if (c.bad || c.received != perClient) badCount.fetch_add(1);
        close(c.fd);  // the server sees the end of stream and closes its channel
    }
    close(ep);
}

TEST(EngineStress, EchoOverAThousandConnectionsChecksEveryByteAndFreesEveryChannel) {
    constexpr int kClients = 1000;
    constexpr size_t kPerClient = 105 * 1024;  // > 100 MB in each direction in total
    const int fdsBefore = testkit::OpenDescriptorCount();
    gChannelsFreed = 0;
    EchoHandler echo;
    std::atomic<int> bad{0};
    {
        testkit::RunningReactor rr(4);
        int lst = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ASSERT_EQ(bind(lst, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ASSERT_EQ(listen(lst, 1024), 0);
        ASSERT_EQ(getsockname(lst, reinterpret_cast<sockaddr*>(&addr), &len), 0);

        std::vector<std::vector<ClientState>> groups(2);
        for (int i = 0; i < kClients; ++i) {
            ClientState c;
            c.index = i;
            c.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            ASSERT_EQ(connect(c.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
            fcntl(c.fd, F_SETFL, fcntl(c.fd, F_GETFL) | O_NONBLOCK);
            sockaddr_in peer{};
            socklen_t plen = sizeof peer;
            int s = accept4(lst, reinterpret_cast<sockaddr*>(&peer), &plen, SOCK_CLOEXEC);
            ASSERT_GE(s, 0);
            auto* ch = new CountedChannel(&rr.reactor(), s, peer);
            rr.reactor().PostChannel(ch);
            ch->RunRequest(TDnTcpReadRequest::CreateString(ch, nullptr, &echo, 16384, false));
            groups[i % 2].push_back(c);
        }
        close(lst);
        std::vector<std::thread> drivers;
        for (auto& g : groups)
            drivers.emplace_back([&g, &bad] { DriveClients(g, kPerClient, bad); });
        for (auto& t : drivers) t.join();
        for (int i = 0; i < 3000 && gChannelsFreed.load() < kClients; ++i) usleep(10000);
        EXPECT_EQ(rr.reactor().GetChannelCount(), 0);
    }
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(gChannelsFreed.load(), kClients);
    EXPECT_EQ(echo.closes.load(), kClients);
    EXPECT_EQ(testkit::OpenDescriptorCount(), fdsBefore);
}

}  // namespace
}  // namespace tessil
