// Engine benchmarks: completion-queue post-to-handler latency and packets per second,
// loopback round trips and bytes per second through a reactor echo, and the engine's
// memory per idle connection.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "iocpengine/DnExecutor.h"
#include "iocpengine/DnTcpReactor.h"
#include "iocpengine/DnTcpRequests.h"

namespace tessil {
namespace {

// A listening loopback socket on a free port; addr receives its address.
int LoopbackListener(sockaddr_in& addr) {
    int lst = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    addr = sockaddr_in{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(lst, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(lst, 1024);
    getsockname(lst, reinterpret_cast<sockaddr*>(&addr), &len);
    return lst;
}

struct Engine {
    explicit Engine(int workers) {
        reactor.SetThreadSize(workers);
        reactor.SetExecutor(&executor);
        executor.SetActive(true);
        reactor.SetActive(true);
    }
    ~Engine() { reactor.SetActive(false); }
    TDnSimpleExecutor executor;
    TDnTcpReactor reactor;
};

// One packet in flight: post, a worker runs the handler, the poster sees it.
void BM_PostToHandlerLatency(benchmark::State& state) {
    Engine e(static_cast<int>(state.range(0)));
    std::atomic<uint64_t> handled{0};
    e.reactor.SetOnUserMessage(
        [&](TDnThreadContext*, TDnTcpChannel*, int32_t, void*) { handled.fetch_add(1); });
    uint64_t expected = 0;
    for (auto _ : state) {
        e.reactor.PostUserSignal(nullptr, 0, nullptr);
        ++expected;
        while (handled.load(std::memory_order_acquire) != expected) {
        }
    }
}
BENCHMARK(BM_PostToHandlerLatency)->Arg(1)->Arg(4)->UseRealTime();

// Packets posted from one thread and drained by the workers, in batches of 10000.
void BM_PostedPacketsPerSecond(benchmark::State& state) {
    Engine e(static_cast<int>(state.range(0)));
    std::atomic<uint64_t> handled{0};
    e.reactor.SetOnUserMessage([&](TDnThreadContext*, TDnTcpChannel*, int32_t, void*) {
        handled.fetch_add(1, std::memory_order_relaxed);
    });
    constexpr int kBatch = 10000;
    uint64_t expected = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) e.reactor.PostUserSignal(nullptr, 0, nullptr);
        expected += kBatch;
        while (handled.load(std::memory_order_acquire) != expected) {
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(expected));
}
BENCHMARK(BM_PostedPacketsPerSecond)->Arg(1)->Arg(4)->UseRealTime();

class Echo : public IDnTcpReadHandler, public IDnTcpWriteHandler, public IDnTcpCloseHandler {
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
    void DoClose(TDnThreadContext*, TDnTcpChannel*, void*) override {}
    void DoCloseError(TDnThreadContext*, TDnTcpChannel*, void*, uint32_t) override {}

  private:
    void Close(TDnTcpChannel* ch) {
        ch->RunRequest(new TDnTcpCloseRequest(ch, nullptr, this, true));
    }
};

// Connected loopback clients whose server ends are echo channels of the engine.
struct EchoSetup {
    EchoSetup(Engine& e, Echo& echo, int clients) {
        sockaddr_in addr;
        int lst = LoopbackListener(addr);
        for (int i = 0; i < clients; ++i) {
            int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
            sockaddr_in peer{};
            socklen_t plen = sizeof peer;
            int s = accept4(lst, reinterpret_cast<sockaddr*>(&peer), &plen, SOCK_CLOEXEC);
            auto* ch = new TDnTcpChannel(&e.reactor, s, peer);
            e.reactor.PostChannel(ch);
            // Small echoes must not wait for delayed acknowledgements.
            ch->SetNagle(true);
            int one = 1;
            setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            ch->RunRequest(TDnTcpReadRequest::CreateString(ch, nullptr, &echo, 16384, false));
            fds.push_back(c);
        }
        close(lst);
    }
    ~EchoSetup() {
        for (int fd : fds) close(fd);
        usleep(50000);  // let the engine see the ends and free the channels
    }
    std::vector<int> fds;
};

bool RoundTrip(int fd, const char* msg, size_t size, char* in) {
    if (send(fd, msg, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) return false;
    size_t got = 0;
    while (got < size) {
        ssize_t n = recv(fd, in + got, size - got, 0);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

// Round trips of 64-byte messages: arg 0 = client threads (one connection each), arg 1 =
// engine workers.
void BM_LoopbackRoundTrips(benchmark::State& state) {
    const int clients = static_cast<int>(state.range(0));
    Engine e(static_cast<int>(state.range(1)));
    Echo echo;
    EchoSetup setup(e, echo, clients);
    char msg[64];
    std::memset(msg, 'r', sizeof msg);
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> others{0};
    std::vector<std::thread> extra;
    for (int i = 1; i < clients; ++i)
        extra.emplace_back([&, fd = setup.fds[i]] {
            char in[64];
            while (!stop.load(std::memory_order_relaxed) && RoundTrip(fd, msg, sizeof msg, in))
                others.fetch_add(1, std::memory_order_relaxed);
        });
    char in[64];
    uint64_t mine = 0;
    for (auto _ : state) {
        if (!RoundTrip(setup.fds[0], msg, sizeof msg, in)) state.SkipWithError("echo failed");
        ++mine;
    }
    stop = true;
    for (auto& t : extra) t.join();
    state.SetItemsProcessed(static_cast<int64_t>(mine + others.load()));
}
BENCHMARK(BM_LoopbackRoundTrips)->Args({1, 1})->Args({1, 4})->Args({8, 4})->UseRealTime();

// The same round trips against a minimal single-threaded epoll echo server (level-
// triggered, read then write back), for comparison with the engine.
void BM_BaselineEpollRoundTrips(benchmark::State& state) {
    const int clients = static_cast<int>(state.range(0));
    sockaddr_in addr;
    int lst = LoopbackListener(addr);
    std::vector<int> fds, servers;
    for (int i = 0; i < clients; ++i) {
        int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        fds.push_back(c);
        servers.push_back(accept4(lst, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        int one = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        setsockopt(servers.back(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    close(lst);
    int ep = epoll_create1(EPOLL_CLOEXEC);
    for (int s : servers) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = s;
        epoll_ctl(ep, EPOLL_CTL_ADD, s, &ev);
    }
    std::atomic<bool> stop{false};
    std::thread server([&] {
        char buf[65536];
        epoll_event evs[64];
        while (!stop.load(std::memory_order_relaxed)) {
            int n = epoll_wait(ep, evs, 64, 50);
            for (int i = 0; i < n; ++i) {
                ssize_t r = read(evs[i].data.fd, buf, sizeof buf);
                if (r > 0) (void)!write(evs[i].data.fd, buf, static_cast<size_t>(r));
            }
        }
    });
    char msg[64];
    std::memset(msg, 'r', sizeof msg);
    std::atomic<uint64_t> others{0};
    std::atomic<bool> stopClients{false};
    std::vector<std::thread> extra;
    for (int i = 1; i < clients; ++i)
        extra.emplace_back([&, fd = fds[i]] {
            char in[64];
            while (!stopClients.load(std::memory_order_relaxed) &&
                   RoundTrip(fd, msg, sizeof msg, in))
                others.fetch_add(1, std::memory_order_relaxed);
        });
    char in[64];
    uint64_t mine = 0;
    for (auto _ : state) {
        if (!RoundTrip(fds[0], msg, sizeof msg, in)) state.SkipWithError("echo failed");
        ++mine;
    }
    stopClients = true;
    for (auto& t : extra) t.join();
    stop = true;
    server.join();
    for (int fd : fds) close(fd);
    for (int s : servers) close(s);
    close(ep);
    state.SetItemsProcessed(static_cast<int64_t>(mine + others.load()));
}
BENCHMARK(BM_BaselineEpollRoundTrips)->Arg(1)->Arg(8)->UseRealTime();

// Bytes through the echo: 64 KiB blocks sent by one thread and read back by another;
// arg 0 = engine workers.
void BM_LoopbackEchoBytes(benchmark::State& state) {
    Engine e(static_cast<int>(state.range(0)));
    Echo echo;
    EchoSetup setup(e, echo, 1);
    const int fd = setup.fds[0];
    constexpr size_t kBlock = 65536;
    std::string block(kBlock, 'b');
    std::vector<char> in(kBlock);
    for (auto _ : state) {
        std::thread writer([&] {
            size_t off = 0;
            while (off < kBlock) {
                ssize_t n = send(fd, block.data() + off, kBlock - off, MSG_NOSIGNAL);
                if (n <= 0) return;
                off += static_cast<size_t>(n);
            }
        });
        size_t got = 0;
        while (got < kBlock) {
            ssize_t n = recv(fd, in.data() + got, kBlock - got, 0);
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        writer.join();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlock));
}
BENCHMARK(BM_LoopbackEchoBytes)->Arg(1)->Arg(4)->UseRealTime()->MinTime(1.0);

// Fan-out: one byte from a sender makes the server send one 64-byte frame to each of
// arg 0 receivers; an iteration ends when every receiver has its frame. The engine queues
// one shared frame to every channel from the worker that read the byte; the baseline is a
// single-threaded epoll loop writing the frame to each socket.
struct FanOutClients {
    explicit FanOutClients(int receivers) {
        lst = LoopbackListener(addr);
        int one = 1;
        for (int i = 0; i <= receivers; ++i) {
            int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
            setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            int s = accept4(lst, nullptr, nullptr, SOCK_CLOEXEC);
            setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            (i == 0 ? sender : receiverFds).push_back(c);
            (i == 0 ? senderServer : serverFds).push_back(s);
        }
        close(lst);
        reader = std::thread([this] {
            int ep = epoll_create1(EPOLL_CLOEXEC);
            for (int fd : receiverFds) {
                epoll_event ev{};
                ev.events = EPOLLIN;
                ev.data.fd = fd;
                epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
            }
            char buf[65536];
            epoll_event evs[64];
            while (!stop.load(std::memory_order_relaxed)) {
                int n = epoll_wait(ep, evs, 64, 20);
                for (int i = 0; i < n; ++i) {
                    ssize_t r = recv(evs[i].data.fd, buf, sizeof buf, MSG_DONTWAIT);
                    if (r > 0) received.fetch_add(static_cast<uint64_t>(r));
                }
            }
            close(ep);
        });
    }
    ~FanOutClients() {
        stop = true;
        reader.join();
        for (int fd : sender) close(fd);
        for (int fd : receiverFds) close(fd);
    }
    // Sends the trigger byte and waits until `bytes` more have arrived at the receivers.
    void Trigger(uint64_t& expected, uint64_t bytes) {
        expected += bytes;
        (void)!send(sender[0], "x", 1, MSG_NOSIGNAL);
        while (received.load(std::memory_order_acquire) < expected) {
        }
    }
    int lst = -1;
    sockaddr_in addr{};
    std::vector<int> sender, senderServer, receiverFds, serverFds;
    std::atomic<uint64_t> received{0};
    std::atomic<bool> stop{false};
    std::thread reader;
};

class FanOut : public IDnTcpReadHandler, public IDnTcpWriteHandler, public IDnTcpCloseHandler {
  public:
    void DoRead(TDnThreadContext*, TDnTcpChannel* ch, void*, const char*, uint32_t) override {
        for (TDnTcpChannel* r : receivers)
            r->RunRequest(TDnTcpWriteRequest::CreateShared(r, nullptr, this, frame));
        ch->RunRequest(TDnTcpReadRequest::CreateString(ch, nullptr, this, 1, false));
    }
    void DoReadError(TDnThreadContext*, TDnTcpChannel* ch, void*, uint32_t) override { Close(ch); }
    void DoReadClose(TDnThreadContext*, TDnTcpChannel* ch, void*) override { Close(ch); }
    void DoWrite(TDnThreadContext*, TDnTcpChannel*, void*, const char*, uint32_t) override {}
    void DoWriteError(TDnThreadContext*, TDnTcpChannel*, void*, uint32_t) override {}
    void DoWriteStream(TDnThreadContext*, TDnTcpChannel*, void*, std::istream&) override {}
    void DoClose(TDnThreadContext*, TDnTcpChannel*, void*) override {}
    void DoCloseError(TDnThreadContext*, TDnTcpChannel*, void*, uint32_t) override {}
    void Close(TDnTcpChannel* ch) {
        ch->RunRequest(new TDnTcpCloseRequest(ch, nullptr, this, true));
    }

    std::vector<TDnTcpChannel*> receivers;
    std::shared_ptr<const std::string> frame = std::make_shared<const std::string>(64, 'f');
};

void BM_FanOutDeliveries(benchmark::State& state) {
    const int receivers = static_cast<int>(state.range(0));
    Engine e(4);
    FanOut fan;
    FanOutClients clients(receivers);
    for (int s : clients.serverFds) {
        auto* ch = new TDnTcpChannel(&e.reactor, s, sockaddr_in{});
        e.reactor.PostChannel(ch);
        fan.receivers.push_back(ch);
    }
    auto* sender = new TDnTcpChannel(&e.reactor, clients.senderServer[0], sockaddr_in{});
    e.reactor.PostChannel(sender);
    sender->RunRequest(TDnTcpReadRequest::CreateString(sender, nullptr, &fan, 1, false));
    uint64_t expected = 0;
    for (auto _ : state) clients.Trigger(expected, uint64_t(receivers) * 64);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * receivers);
    for (TDnTcpChannel* ch : fan.receivers) fan.Close(ch);
}
BENCHMARK(BM_FanOutDeliveries)->Arg(100)->UseRealTime();

void BM_BaselineEpollFanOut(benchmark::State& state) {
    const int receivers = static_cast<int>(state.range(0));
    FanOutClients clients(receivers);
    int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = clients.senderServer[0];
    epoll_ctl(ep, EPOLL_CTL_ADD, clients.senderServer[0], &ev);
    std::atomic<bool> stop{false};
    std::thread server([&] {
        const std::string frame(64, 'f');
        char buf[256];
        epoll_event evs[8];
        while (!stop.load(std::memory_order_relaxed)) {
            int n = epoll_wait(ep, evs, 8, 20);
            for (int i = 0; i < n; ++i) {
                ssize_t r = read(evs[i].data.fd, buf, sizeof buf);
                for (ssize_t k = 0; k < r; ++k)
                    for (int fd : clients.serverFds) (void)!write(fd, frame.data(), frame.size());
            }
        }
    });
    uint64_t expected = 0;
    for (auto _ : state) clients.Trigger(expected, uint64_t(receivers) * 64);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * receivers);
    stop = true;
    server.join();
    close(ep);
    close(clients.senderServer[0]);
    for (int s : clients.serverFds) close(s);
}
BENCHMARK(BM_BaselineEpollFanOut)->Arg(100)->UseRealTime();

// Heap the engine holds per idle connection: a registered channel with a time-out and
// one pending 6-byte read (what a message server connection looks like between frames).
void BM_IdleConnectionMemory(benchmark::State& state) {
    constexpr int kConnections = 1000;
    for (auto _ : state) {
        Engine e(2);
        Echo echo;
        sockaddr_in addr;
        int lst = LoopbackListener(addr);
        std::vector<int> clients, servers;
        for (int i = 0; i < kConnections; ++i) {
            int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
            clients.push_back(c);
            servers.push_back(accept4(lst, nullptr, nullptr, SOCK_CLOEXEC));
        }
        // Warm the completion queue's slot pool and the timer lists, then measure.
        malloc_trim(0);
        const size_t before = mallinfo2().uordblks;
        for (int i = 0; i < kConnections; ++i) {
            auto* ch = new TDnTcpChannel(&e.reactor, servers[i], sockaddr_in{});
            e.reactor.PostChannel(ch);
            e.reactor.SetTimeout(ch, 60000);
            ch->RunRequest(TDnTcpReadRequest::CreateString(ch, nullptr, &echo, 6, true));
        }
        usleep(200000);  // the timer merges the registrations
        const size_t after = mallinfo2().uordblks;
        state.counters["bytes_per_connection"] = static_cast<double>(after - before) / kConnections;
        state.counters["sizeof_channel"] = sizeof(TDnTcpChannel);
        state.counters["sizeof_read_request"] = sizeof(TDnTcpReadRequest);
        for (int c : clients) close(c);
        close(lst);
        usleep(100000);
    }
}
BENCHMARK(BM_IdleConnectionMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tessil

BENCHMARK_MAIN();
