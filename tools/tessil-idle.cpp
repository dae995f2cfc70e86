// tessil-idle: opens many connections to the lobby server at once, handshakes and logs
// each in, then holds them idle; reports how long admission took. Used to show the
// server with a full house of idle players (one thread, epoll, loopback only).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "client/Messages.h"
#include "protocol/MsgFrame.h"

namespace {

using namespace tessil;
using Clock = std::chrono::steady_clock;

constexpr const char* kUsage = R"(usage: tessil-idle [options]
  --port P        server port on 127.0.0.1 (default 29999)
  -n N            connections (default 1000)
  --inflight W    connections being admitted at once (default 256)
  --hold S        seconds to hold them idle once all are in (default 10)
  --prefix P      user IDs are P0, P1, ... (default "idle")
  --request-bytes B  once logged in, each sends one FINDUSER padded to about B bytes
                  (what the server keeps of a large request while the player idles)
Prints one JSON line: admitted, failed, admit_s, held_s.
)";

struct Conn {
    int fd = -1;
    int stage = 0;  // 0 connecting, 1 handshake sent, 2 login sent, 3 logged in, -1 failed
    std::string in, out;
};

double Seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

}  // namespace

int main(int argc, char** argv) {
    int port = 29999, n = 1000, inflight = 256;
    double hold = 10;
    std::string prefix = "idle";
    size_t requestBytes = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--port")
            port = std::atoi(next());
        else if (a == "-n")
            n = std::atoi(next());
        else if (a == "--inflight")
            inflight = std::atoi(next());
        else if (a == "--hold")
            hold = std::atof(next());
        else if (a == "--prefix")
            prefix = next();
        else if (a == "--request-bytes")
            requestBytes = static_cast<size_t>(std::atol(next()));
        else {
            std::fputs(kUsage, a == "--help" ? stdout : stderr);
            return a == "--help" ? 0 : 2;
        }
    }
    rlimit nofile{};
    getrlimit(RLIMIT_NOFILE, &nofile);
    nofile.rlim_cur = nofile.rlim_max;
    setrlimit(RLIMIT_NOFILE, &nofile);

    const int ep = epoll_create1(0);
    std::vector<Conn> conns(static_cast<size_t>(n));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int next = 0, busy = 0, admitted = 0, failed = 0;
    auto fail = [&](Conn& c) {
        if (c.stage >= 0 && c.stage < 3) --busy;
        c.stage = -1;
        ++failed;
        if (c.fd >= 0) close(c.fd);
        c.fd = -1;
    };
    auto start = [&](int i) {
        Conn& c = conns[i];
        c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ++busy;
        if (c.fd < 0 || (connect(c.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 &&
                         errno != EINPROGRESS)) {
            fail(c);
            return;
        }
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT;
        ev.data.u32 = static_cast<uint32_t>(i);
        epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &ev);
    };
    // Sends what is pending; the socket is watched for room to write while some is left.
    auto flush = [&](Conn& c) {
        while (!c.out.empty()) {
            ssize_t w = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
            if (w <= 0 && !(w < 0 && errno == EAGAIN)) return false;
            if (w <= 0) break;
            c.out.erase(0, static_cast<size_t>(w));
        }
        epoll_event ev{};
        ev.events = c.out.empty() ? EPOLLIN : EPOLLIN | EPOLLOUT;
        ev.data.u32 = static_cast<uint32_t>(&c - conns.data());
        epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &ev);
        return true;
    };
    const auto t0 = Clock::now();
    epoll_event evs[256];
    while (admitted + failed < n && Seconds(t0, Clock::now()) < 600) {
        while (busy < inflight && next < n) start(next++);
        int got = epoll_wait(ep, evs, 256, 1000);
        for (int k = 0; k < got; ++k) {
            Conn& c = conns[evs[k].data.u32];
            if (c.fd < 0) continue;
            if (c.stage == 0 && (evs[k].events & EPOLLOUT)) {
                ClientIdentity who{prefix, prefix, "", "1"};
                c.out = EncodeFrame(mtHandshake, SerializeIdentity(who));
                c.stage = 1;
            }
            if (!c.out.empty() && !flush(c)) {
                fail(c);
                continue;
            }
            if (!(evs[k].events & EPOLLIN)) continue;
            char buf[4096];
            ssize_t r = recv(c.fd, buf, sizeof buf, 0);
            if (r <= 0) {
                if (r < 0 && errno == EAGAIN) continue;
                fail(c);
                continue;
            }
            c.in.append(buf, static_cast<size_t>(r));
            while (c.in.size() >= kHeaderSize) {
                const TMsgHeader h = TMsgHeader::Decode(c.in.data());
                if (c.in.size() < kHeaderSize + h.MsgLen) break;
                const std::string body = c.in.substr(kHeaderSize, h.MsgLen);
                c.in.erase(0, kHeaderSize + h.MsgLen);
                if (c.stage == 1 && h.MsgType == mtHandshake) {
                    const std::string id = prefix + std::to_string(&c - conns.data());
                    c.out = EncodeFrame(
                        mtData, EncodeRequestBody(BuildRequestJson(
                                    "LOGIN", {{"usrid", id}, {"pass", "pw"}, {"gcode", "G1"}})));
                    c.stage = 2;
                    if (!flush(c)) fail(c);
                } else if (c.stage == 2 && h.MsgType == mtData) {
                    Reply rep = DecodeReply(body);
                    if (rep.cmd != "LOGIN") continue;
                    if (rep.code == "E000") {
                        c.stage = 3;
                        --busy;
                        ++admitted;
                        if (requestBytes > 0) {
                            const std::string id = prefix + std::to_string(&c - conns.data());
                            c.out = EncodeFrame(
                                mtData,
                                EncodeRequestBody(BuildRequestJson(
                                    "FINDUSER",
                                    {{"usrid", id}, {"pad", std::string(requestBytes, 'x')}})));
                            if (!flush(c)) fail(c);
                        }
                    } else {
                        fail(c);
                    }
                }
            }
        }
    }
    const auto t1 = Clock::now();
    std::fprintf(stderr, "tessil-idle: %d admitted, %d failed in %.2f s; holding %.0f s\n",
                 admitted, failed, Seconds(t0, t1), hold);
    // Idle: whatever arrives (lists, notices) is read and dropped.
    while (Seconds(t1, Clock::now()) < hold) {
        int got = epoll_wait(ep, evs, 256, 200);
        for (int k = 0; k < got; ++k) {
            Conn& c = conns[evs[k].data.u32];
            char buf[4096];
            if (c.fd >= 0 && !c.out.empty() && (evs[k].events & EPOLLOUT)) flush(c);
            if (c.fd >= 0 && (evs[k].events & EPOLLIN) && recv(c.fd, buf, sizeof buf, 0) == 0) {
                close(c.fd);
                c.fd = -1;
            }
        }
    }
    int still = 0;
    for (Conn& c : conns) {
        if (c.fd >= 0) {
            ++still;
            close(c.fd);
        }
    }
    std::printf(
        "{\"tool\":\"tessil-idle\",\"conns\":%d,\"admitted\":%d,\"failed\":%d,"
        "\"admit_s\":%.3f,\"held_s\":%.1f,\"open_at_end\":%d}\n",
        n, admitted, failed, Seconds(t0, t1), hold, still);
    close(ep);
    return failed == 0 ? 0 : 1;
}
