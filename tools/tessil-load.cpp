// tessil-load: load generator for the lobby server (one node or a cluster) over
// loopback. Connections are opened in order by the main thread, then split among worker
// threads, each running its own epoll loop; bounded in time and in count.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/CliLine.h"
#include "client/FrameReader.h"
#include "client/LobbyClient.h"
#include "client/Messages.h"
#include "protocol/ClientProtocol.h"
#include "protocol/MsgFrame.h"
#include "protocol/TextUtils.h"

namespace {

using namespace tessil;
using Clock = std::chrono::steady_clock;

constexpr const char* kUsage = R"(usage: tessil-load [options] HOST:PORT[,HOST:PORT...]

Drives the lobby server over loopback and reports rates.
  --mode heartbeat   N connections, each with WINDOW heartbeats in flight; round trips/s
  --mode finduser    N logged-in connections, each with WINDOW FINDUSER requests in
                     flight; request round trips/s
  --mode fanout      R rooms of M members; every member sends USRMSGALL chat messages
                     (WINDOW unacknowledged at a time); counts every delivery to the
                     other members; deliveries/s, delivery latency, deliveries lost
Several targets (the nodes of a cluster): connection i goes to target i mod N; in fanout
member m of every room goes to target m mod N, so each room spans the nodes.

options:
  --connections N    connections for heartbeat and finduser (default 50)
  --rooms R          rooms for fanout (default 10)
  --members M        members per room for fanout (default 4)
  --window W         requests in flight per connection (default 1)
  --threads T        worker threads (default 1)
  --seconds S        measured time (default 5), after --warmup S (default 1)
  --max-count C      stop measuring after C round trips or deliveries (default none)
  --user-prefix P    user IDs are P0, P1, ... (default "load")
  --help
)";

struct Options {
    std::string target;
    std::string mode = "heartbeat";
    int connections = 50, rooms = 10, members = 4, window = 1, threads = 1;
    double seconds = 5, warmup = 1;
    uint64_t maxCount = 0;
    std::string userPrefix = "load";
};

enum class Mode { Heartbeat, FindUser, Fanout };

// Counters shared by the workers; read by the main thread at the end.
struct Totals {
    std::atomic<uint64_t> roundTrips{0};  // heartbeat echoes, FINDUSER replies, chat acks
    std::atomic<uint64_t> deliveries{0};  // chat messages received by other members
    std::atomic<uint64_t> unexpected{0};  // replies of an unexpected shape while measuring
    // Fanout over the whole run (warm-up and drain included): chat messages acknowledged
    // and deliveries received, to find deliveries that never arrived.
    std::atomic<uint64_t> acksAll{0};
    std::atomic<uint64_t> deliveriesAll{0};
    std::atomic<bool> failed{false};
};

// Phases, set by the main thread, read by every worker.
// kDrain: no new requests; what is in flight still arrives and is counted.
enum Phase : int { kSetup, kWarmup, kMeasure, kDrain, kStop };
std::atomic<int> phase{kSetup};

struct Conn {
    int fd = -1;
    int index = 0;
    int room = -1;  // fanout: room index, master is member 0
    int member = 0;
    std::string usrid;
    FrameReader reader;
    std::string out;
    size_t outOff = 0;
    bool wantWrite = false;
    // Setup: the reply cmd awaited, and what it returned.
    std::string awaiting;
    Reply last;
    bool gotReply = false;
    // Measurement.
    std::string request;  // the frame sent repeatedly
    std::string roomNo;   // fanout: the room's number
    int inFlight = 0;
    std::deque<Clock::time_point> sentAt;
};

std::string base64Prefix(std::string_view text) {
    // Base64 of a prefix whose length is a multiple of 3 does not depend on what follows.
    return EncodeStr(text.substr(0, text.size() / 3 * 3)).substr(0, text.size() / 3 * 4);
}

class Worker {
  public:
    Worker(const Options& opt, Mode mode, Totals& totals)
        : opt_(opt), mode_(mode), totals_(totals) {
        epfd_ = ::epoll_create1(EPOLL_CLOEXEC);
        ackBody_ = EncodeStr(MakeMsgForClient("USRMSGALL", code::E000, text::MsgSent));
        deliveryPrefix_ = base64Prefix(R"({"cmd":"USRMSGALL","code":"E000","data":")");
        findPrefix_ = base64Prefix(R"({"cmd":"FINDUSER","code":"E000","data":)");
    }
    ~Worker() {
        for (auto& c : conns_) ::close(c->fd);
        ::close(epfd_);
    }

    void add(std::unique_ptr<Conn> c) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = c.get();
        ::epoll_ctl(epfd_, EPOLL_CTL_ADD, c->fd, &ev);
        conns_.push_back(std::move(c));
    }

    // Logs in and builds the rooms; false (with a message) on failure.
    bool setup(Clock::time_point deadline) {
        if (mode_ == Mode::Heartbeat) return true;
        for (auto& c : conns_) {
            request(*c, "LOGIN", {{"usrid", c->usrid}, {"pass", "1"}, {"gcode", "G1"}});
        }
        if (!awaitAll(deadline, "LOGIN")) return false;
        if (mode_ != Mode::Fanout) return true;
        std::vector<Conn*> masters;
        for (auto& c : conns_) {
            if (c->member == 0) masters.push_back(c.get());
        }
        std::vector<std::string> roomNo(conns_.size());
        for (Conn* m : masters) {
            // Room numbers come from the clock; a clash is refused, so try again a little later.
            for (int attempt = 0;; ++attempt) {
                request(*m, "MAKEROOM",
                        {{"pass", ""},
                         {"subject", "load" + std::to_string(m->room)},
                         {"roomtype", "OPEN"},
                         {"roomterm", "CONT"},
                         {"gamecode", "G1"}});
                if (!awaitOne(*m, deadline)) return false;
                if (m->last.code == "E000" && LooksLikeInteger(m->last.data)) break;
                if (attempt == 20) return fail("MAKEROOM refused: " + m->last.text);
                std::this_thread::sleep_for(std::chrono::milliseconds(15));
            }
            for (size_t i = 0; i < conns_.size(); ++i) {
                Conn& c = *conns_[i];
                if (c.room != m->room) continue;
                roomNo[i] = m->last.data;
                if (c.member != 0) {
                    request(c, "ENTERROOM",
                            {{"roomNo", m->last.data, true}, {"pass", ""}, {"gamecode", "G1"}});
                }
            }
        }
        if (!awaitAll(deadline, "ENTERROOM")) return false;
        for (size_t i = 0; i < conns_.size(); ++i) {
            conns_[i]->roomNo = roomNo[i];
            conns_[i]->request = EncodeFrame(
                mtData, EncodeRequestBody(BuildRequestJson(
                            "USRMSGALL", {{"roomNo", roomNo[i], true}, {"mesg", "hello"}})));
        }
        return true;
    }

    // Runs the traffic until the phase becomes kStop.
    void traffic(std::vector<uint32_t>& latenciesUs, std::vector<uint32_t>& deliveryUs) {
        latencies_ = &latenciesUs;
        deliveryLatencies_ = &deliveryUs;
        for (auto& c : conns_) {
            if (c->request.empty()) c->request = requestFrame(*c);
            for (int i = 0; i < opt_.window; ++i) sendRequest(*c);
        }
        while (phase.load(std::memory_order_relaxed) != kStop && !totals_.failed) {
            poll(100, [this](Conn& c, const Frame& f) { onTraffic(c, f); });
        }
    }

  private:
    std::string requestFrame(const Conn& c) const {
        switch (mode_) {
            case Mode::Heartbeat:
                return EncodeFrame(mtHeartbeat, {});
            case Mode::FindUser:
                return EncodeFrame(
                    mtData, EncodeRequestBody(BuildRequestJson("FINDUSER", {{"usrid", c.usrid}})));
            case Mode::Fanout:
                return EncodeFrame(mtData,
                                   EncodeRequestBody(BuildRequestJson(
                                       "USRMSGALL", {{"roomNo", "0", true}, {"mesg", "hello"}})));
        }
        return {};
    }

    void sendRequest(Conn& c) {
        const auto now = Clock::now();
        c.sentAt.push_back(now);
        ++c.inFlight;
        if (mode_ == Mode::Fanout) {
            // The text carries its send time, so each delivery gives its own latency.
            const auto us =
                std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch());
            std::string mesg(1, 't');
            mesg += std::to_string(us.count());
            send(c, EncodeFrame(mtData, EncodeRequestBody(BuildRequestJson(
                                            "USRMSGALL", {{"roomNo", c.roomNo, true},
                                                          {"mesg", std::move(mesg)}}))));
            return;
        }
        send(c, c.request);
    }

    void onTraffic(Conn& c, const Frame& f) {
        const bool measuring = phase.load(std::memory_order_relaxed) == kMeasure;
        bool answer = false;
        switch (mode_) {
            case Mode::Heartbeat:
                answer = f.type == mtHeartbeat;
                break;
            case Mode::FindUser:
                if (f.type != mtData) break;
                answer = true;
                if (measuring && f.body.compare(0, findPrefix_.size(), findPrefix_) != 0) {
                    ++totals_.unexpected;
                }
                break;
            case Mode::Fanout:
                if (f.type != mtData) break;
                if (f.body == ackBody_) {
                    answer = true;
                } else if (f.body.compare(0, deliveryPrefix_.size(), deliveryPrefix_) == 0) {
                    ++totals_.deliveriesAll;
                    if (measuring) {
                        ++totals_.deliveries;
                        recordDelivery(f.body);
                    }
                } else if (measuring) {
                    ++totals_.unexpected;
                }
                break;
        }
        if (!answer || c.inFlight == 0) return;
        if (mode_ == Mode::Fanout) ++totals_.acksAll;
        --c.inFlight;
        const auto sent = c.sentAt.front();
        c.sentAt.pop_front();
        if (measuring) {
            ++totals_.roundTrips;
            latencies_->push_back(static_cast<uint32_t>(
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent)
                    .count()));
        }
        const int now = phase.load(std::memory_order_relaxed);
        if (now == kWarmup || now == kMeasure) sendRequest(c);
    }

    void recordDelivery(const std::string& body) {
        const Reply r = DecodeReply(body);
        if (r.data.size() < 2 || r.data[0] != 't') return;
        const auto sent = std::chrono::microseconds(std::strtoll(r.data.c_str() + 1, nullptr, 10));
        const auto now =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch());
        deliveryLatencies_->push_back(static_cast<uint32_t>((now - sent).count()));
    }

    void request(Conn& c, const std::string& cmd, const std::vector<RequestMember>& members) {
        c.awaiting = cmd;
        c.gotReply = false;
        send(c, EncodeFrame(mtData, EncodeRequestBody(BuildRequestJson(cmd, members))));
    }

    void onSetup(Conn& c, const Frame& f) {
        if (f.type != mtData || c.gotReply) return;
        Reply r = DecodeReply(f.body);
        if (r.cmd != c.awaiting) return;  // events such as USRIN
        c.last = std::move(r);
        c.gotReply = true;
    }

    bool awaitOne(Conn& c, Clock::time_point deadline) {
        while (!c.gotReply) {
            if (Clock::now() > deadline || totals_.failed)
                return fail("no " + c.awaiting + " reply");
            poll(100, [this](Conn& cc, const Frame& f) { onSetup(cc, f); });
        }
        return true;
    }

    bool awaitAll(Clock::time_point deadline, const std::string& cmd) {
        for (auto& c : conns_) {
            if (c->awaiting == cmd && !awaitOne(*c, deadline)) return false;
            if (c->awaiting == cmd && c->last.code != "E000") {
                return fail(cmd + " refused for " + c->usrid + ": " + c->last.text);
            }
        }
        return true;
    }

    bool fail(const std::string& why) {
        if (!totals_.failed.exchange(true)) std::fprintf(stderr, "tessil-load: %s\n", why.c_str());
        return false;
    }

    template <class OnFrame>
    void poll(int timeoutMs, OnFrame onFrame) {
        epoll_event events[128];
        const int n = ::epoll_wait(epfd_, events, 128, timeoutMs);
        for (int i = 0; i < n; ++i) {
            Conn& c = *static_cast<Conn*>(events[i].data.ptr);
            if (events[i].events & EPOLLOUT) flush(c);
            if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) readFrom(c, onFrame);
        }
    }

    template <class OnFrame>
    void readFrom(Conn& c, OnFrame& onFrame) {
        char buf[64 * 1024];
        for (;;) {
            const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                if (phase.load() != kStop) fail("connection " + c.usrid + " closed by the server");
                ::epoll_ctl(epfd_, EPOLL_CTL_DEL, c.fd, nullptr);
                return;
            }
            if (n < 0) break;
            c.reader.Feed(std::string_view(buf, static_cast<size_t>(n)));
            if (static_cast<size_t>(n) < sizeof buf) break;
        }
        try {
            while (auto f = c.reader.Next()) onFrame(c, *f);
        } catch (const FrameError& e) {
            fail(e.what());
        }
    }

    void send(Conn& c, const std::string& bytes) {
        c.out.append(bytes);
        flush(c);
    }

    void flush(Conn& c) {
        while (c.outOff < c.out.size()) {
            const ssize_t n =
                ::send(c.fd, c.out.data() + c.outOff, c.out.size() - c.outOff, MSG_NOSIGNAL);
            if (n > 0) {
                c.outOff += static_cast<size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && errno == EAGAIN) {
                setWrite(c, true);
                return;
            } else {
                fail("send to " + c.usrid + " failed");
                return;
            }
        }
        c.out.clear();
        c.outOff = 0;
        setWrite(c, false);
    }

    void setWrite(Conn& c, bool on) {
        if (c.wantWrite == on) return;
        c.wantWrite = on;
        epoll_event ev{};
        ev.events = static_cast<uint32_t>(EPOLLIN) | (on ? static_cast<uint32_t>(EPOLLOUT) : 0u);
        ev.data.ptr = &c;
        ::epoll_ctl(epfd_, EPOLL_CTL_MOD, c.fd, &ev);
    }

    const Options& opt_;
    Mode mode_;
    Totals& totals_;
    int epfd_ = -1;
    std::vector<std::unique_ptr<Conn>> conns_;
    std::string ackBody_, deliveryPrefix_, findPrefix_;
    std::vector<uint32_t>* latencies_ = nullptr;
    std::vector<uint32_t>* deliveryLatencies_ = nullptr;
};

bool parseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        auto num = [&](auto& into) {
            into = static_cast<std::remove_reference_t<decltype(into)>>(
                std::strtod(argv[++i], nullptr));
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (a == "--mode" && hasValue) {
            o.mode = argv[++i];
        } else if (a == "--connections" && hasValue) {
            num(o.connections);
        } else if (a == "--rooms" && hasValue) {
            num(o.rooms);
        } else if (a == "--members" && hasValue) {
            num(o.members);
        } else if (a == "--window" && hasValue) {
            num(o.window);
        } else if (a == "--threads" && hasValue) {
            num(o.threads);
        } else if (a == "--seconds" && hasValue) {
            num(o.seconds);
        } else if (a == "--warmup" && hasValue) {
            num(o.warmup);
        } else if (a == "--max-count" && hasValue) {
            num(o.maxCount);
        } else if (a == "--user-prefix" && hasValue) {
            o.userPrefix = argv[++i];
        } else if (!a.empty() && a[0] != '-' && o.target.empty()) {
            o.target = a;
        } else {
            return false;
        }
    }
    return !o.target.empty() &&
           (o.mode == "heartbeat" || o.mode == "finduser" || o.mode == "fanout") &&
           o.connections > 0 && o.connections <= 20000 && o.rooms > 0 && o.members > 1 &&
           o.rooms * o.members <= 20000 && o.window > 0 && o.window <= 1000 && o.threads > 0 &&
           o.threads <= 64 && o.seconds > 0 && o.seconds <= 600 && o.warmup >= 0 && o.warmup <= 60;
}

std::vector<std::string> SplitTargets(const std::string& list) {
    std::vector<std::string> out;
    size_t from = 0;
    while (from <= list.size()) {
        const size_t comma = list.find(',', from);
        const std::string one =
            list.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
        if (!one.empty()) out.push_back(one);
        if (comma == std::string::npos) break;
        from = comma + 1;
    }
    return out;
}

// Connects like the lobby client does, then hands the socket over as non-blocking.
int connectOne(const std::string& target) {
    LobbyClient client;
    client.Connect(target);
    const int fd = ::dup(client.Fd());
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!parseArgs(argc, argv, opt)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const Mode mode = opt.mode == "heartbeat"  ? Mode::Heartbeat
                      : opt.mode == "finduser" ? Mode::FindUser
                                               : Mode::Fanout;
    const int total = mode == Mode::Fanout ? opt.rooms * opt.members : opt.connections;
    const int threads = std::min(opt.threads, mode == Mode::Fanout ? opt.rooms : total);

    const std::vector<std::string> targets = SplitTargets(opt.target);
    if (targets.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    Totals totals;
    std::vector<std::unique_ptr<Worker>> workers;
    for (int t = 0; t < threads; ++t)
        workers.push_back(std::make_unique<Worker>(opt, mode, totals));
    // Connections are opened one after another, so accept order follows their index; a
    // room stays within one worker.
    try {
        for (int i = 0; i < total; ++i) {
            auto c = std::make_unique<Conn>();
            c->index = i;
            c->usrid = opt.userPrefix + std::to_string(i);
            if (mode == Mode::Fanout) {
                c->room = i / opt.members;
                c->member = i % opt.members;
            }
            const int spot = mode == Mode::Fanout ? c->member : i;
            c->fd = connectOne(targets[static_cast<size_t>(spot) % targets.size()]);
            const int owner = (mode == Mode::Fanout ? c->room : i) % threads;
            workers[static_cast<size_t>(owner)]->add(std::move(c));
        }
    } catch (const ClientError& e) {
        std::fprintf(stderr, "tessil-load: %s\n", e.what());
        return 3;
    }

    const auto setupDeadline = Clock::now() + std::chrono::seconds(30);
    std::vector<std::vector<uint32_t>> latencies(static_cast<size_t>(threads));
    std::vector<std::vector<uint32_t>> deliveryLatencies(static_cast<size_t>(threads));
    std::atomic<int> ready{0};
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t) {
        running.emplace_back([&, t] {
            const bool ok = workers[static_cast<size_t>(t)]->setup(setupDeadline);
            ++ready;
            if (!ok) return;
            while (phase.load() == kSetup && !totals.failed) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            workers[static_cast<size_t>(t)]->traffic(latencies[static_cast<size_t>(t)],
                                                     deliveryLatencies[static_cast<size_t>(t)]);
        });
    }
    while (ready.load() < threads) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    double measured = 0;
    if (!totals.failed) {
        phase = kWarmup;
        std::this_thread::sleep_for(std::chrono::duration<double>(opt.warmup));
        const auto start = Clock::now();
        phase = kMeasure;
        const auto end = start + std::chrono::duration<double>(opt.seconds);
        while (Clock::now() < end && !totals.failed) {
            const uint64_t count =
                mode == Mode::Fanout ? totals.deliveries.load() : totals.roundTrips.load();
            if (opt.maxCount > 0 && count >= opt.maxCount) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        measured = std::chrono::duration<double>(Clock::now() - start).count();
        // What is in flight arrives before the connections close, so nothing is counted
        // as lost that was merely late.
        phase = kDrain;
        std::this_thread::sleep_for(std::chrono::seconds(2));
    }
    phase = kStop;
    for (auto& th : running) th.join();
    workers.clear();
    if (totals.failed) return 1;

    std::vector<uint32_t> all;
    for (auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
    std::sort(all.begin(), all.end());
    auto pct = [&](double p) {
        return all.empty() ? 0u
                           : all[std::min(all.size() - 1, static_cast<size_t>(p * all.size()))];
    };
    double mean = 0;
    for (uint32_t v : all) mean += v;
    if (!all.empty()) mean /= static_cast<double>(all.size());

    const uint64_t trips = totals.roundTrips.load();
    std::printf("mode=%s target=%s connections=%d window=%d threads=%d seconds=%.2f\n",
                opt.mode.c_str(), opt.target.c_str(), total, opt.window, threads, measured);
    if (mode == Mode::Fanout) {
        const uint64_t del = totals.deliveries.load();
        std::printf("rooms=%d members=%d messages=%llu (%.0f/s) deliveries=%llu (%.0f/s)\n",
                    opt.rooms, opt.members, static_cast<unsigned long long>(trips),
                    static_cast<double>(trips) / measured, static_cast<unsigned long long>(del),
                    static_cast<double>(del) / measured);
        std::vector<uint32_t> dl;
        for (auto& l : deliveryLatencies) dl.insert(dl.end(), l.begin(), l.end());
        std::sort(dl.begin(), dl.end());
        auto dpct = [&](double p) {
            return dl.empty() ? 0u
                              : dl[std::min(dl.size() - 1, static_cast<size_t>(p * dl.size()))];
        };
        const uint64_t expected = totals.acksAll.load() * static_cast<uint64_t>(opt.members - 1);
        const uint64_t got = totals.deliveriesAll.load();
        std::printf("delivery_latency_us p50=%u p99=%u ack_latency_us p50=%u p99=%u\n", dpct(0.5),
                    dpct(0.99), pct(0.5), pct(0.99));
        std::printf("deliveries expected=%llu received=%llu lost=%lld\n",
                    static_cast<unsigned long long>(expected), static_cast<unsigned long long>(got),
                    static_cast<long long>(expected) - static_cast<long long>(got));
        std::printf("RESULT deliveries_per_s=%.0f\n", static_cast<double>(del) / measured);
    } else {
        std::printf("round_trips=%llu (%.0f/s) latency_us mean=%.0f p50=%u p99=%u\n",
                    static_cast<unsigned long long>(trips), static_cast<double>(trips) / measured,
                    mean, pct(0.5), pct(0.99));
        std::printf("RESULT round_trips_per_s=%.0f\n", static_cast<double>(trips) / measured);
    }
    if (totals.unexpected > 0) {
        std::printf("unexpected replies: %llu\n",
                    static_cast<unsigned long long>(totals.unexpected.load()));
    }
    return 0;
}
