// epoll-baseline: the smallest useful frame server, to measure the real server against.
// One thread, one epoll loop; it parses frames and nothing more. Loopback only.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "client/FrameReader.h"
#include "protocol/ClientProtocol.h"
#include "protocol/MsgFrame.h"
#include "protocol/TextUtils.h"

namespace {

using namespace tessil;

constexpr const char* kUsage = R"(usage: epoll-baseline [options]

A single-threaded epoll server on 127.0.0.1 that only parses frames: it echoes
heartbeats, answers handshakes with the accepting verdict, and
  echo mode:   answers every data frame with one fixed reply frame;
  fanout mode: relays every data frame to the other members of its group (connections
               grouped by accept order, GROUP at a time) and acknowledges it to the
               sender with one fixed reply frame.
Prints "listening on 127.0.0.1:PORT" once ready.

options:
  --port P       port to listen on (default 0: any free port)
  --mode M       echo (default) or fanout
  --group M      members per group in fanout mode (default 4)
  --seconds S    exit after S seconds (default 300)
  --help
)";

// A connection whose unsent output grows beyond this is closed (a reader that stalls).
constexpr size_t kMaxOutput = 64u << 20;

struct Conn {
    int fd = -1;
    size_t index = 0;  // accept order
    FrameReader reader;
    std::string out;
    size_t outOff = 0;
    bool wantWrite = false;
};

volatile std::sig_atomic_t stopRequested = 0;

class Server {
  public:
    Server(bool fanout, size_t group, std::string reply)
        : fanout_(fanout), group_(group), replyFrame_(EncodeFrame(mtData, reply)) {}

    bool listen(uint16_t port) {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listenFd_, 1024) != 0) {
            std::fprintf(stderr, "epoll-baseline: cannot listen on port %u: %s\n", port,
                         std::strerror(errno));
            return false;
        }
        socklen_t len = sizeof addr;
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
        epfd_ = ::epoll_create1(EPOLL_CLOEXEC);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = listenFd_;
        ::epoll_ctl(epfd_, EPOLL_CTL_ADD, listenFd_, &ev);
        std::printf("listening on 127.0.0.1:%u\n", ntohs(addr.sin_port));
        std::fflush(stdout);
        return true;
    }

    void run(std::chrono::seconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        std::vector<epoll_event> events(256);
        while (!stopRequested && std::chrono::steady_clock::now() < deadline) {
            const int n = ::epoll_wait(epfd_, events.data(), static_cast<int>(events.size()), 200);
            graveyard_.clear();  // no handler of the last batch is running any more
            for (int i = 0; i < n; ++i) {
                const int fd = events[i].data.fd;
                if (fd == listenFd_) {
                    acceptAll();
                    continue;
                }
                auto it = conns_.find(fd);
                if (it == conns_.end()) continue;
                Conn& c = *it->second;
                if (events[i].events & (EPOLLERR | EPOLLHUP)) {
                    drop(c);
                    continue;
                }
                if ((events[i].events & EPOLLOUT) && !flush(c)) continue;
                if (events[i].events & EPOLLIN) readFrom(c);
            }
        }
        for (auto& [fd, c] : conns_) ::close(fd);
        ::close(listenFd_);
        ::close(epfd_);
    }

  private:
    void acceptAll() {
        for (;;) {
            const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) return;
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            auto c = std::make_unique<Conn>();
            c->fd = fd;
            c->index = accepted_++;
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.fd = fd;
            ::epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev);
            groups_[c->index / group_].push_back(c.get());
            conns_.emplace(fd, std::move(c));
        }
    }

    void readFrom(Conn& c) {
        char buf[64 * 1024];
        for (;;) {
            const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                drop(c);
                return;
            }
            if (n < 0) break;
            c.reader.Feed(std::string_view(buf, static_cast<size_t>(n)));
            if (static_cast<size_t>(n) < sizeof buf) break;
        }
        try {
            while (auto f = c.reader.Next()) {
                if (!handle(c, *f)) return;
            }
        } catch (const FrameError&) {
            drop(c);
        }
    }

    // False when the connection was dropped.
    bool handle(Conn& c, const Frame& f) {
        switch (f.type) {
            case mtHeartbeat:
                return send(c, EncodeFrame(mtHeartbeat, {}));
            case mtHandshake:
                return send(c, EncodeFrame(mtHandshake, AuthOkStr));
            case mtData:
                if (fanout_) {
                    const std::string raw = f.Raw();
                    // Copy the member list: a send may drop a member.
                    const std::vector<Conn*> members = groups_[c.index / group_];
                    for (Conn* m : members) {
                        if (m != &c) send(*m, raw);
                    }
                }
                return send(c, replyFrame_);
            default:
                return true;
        }
    }

    bool send(Conn& c, const std::string& bytes) {
        if (c.fd < 0) return false;
        if (c.out.size() - c.outOff + bytes.size() > kMaxOutput) {
            drop(c);
            return false;
        }
        c.out.append(bytes);
        return flush(c);
    }

    bool flush(Conn& c) {
        while (c.outOff < c.out.size()) {
            const ssize_t n =
                ::send(c.fd, c.out.data() + c.outOff, c.out.size() - c.outOff, MSG_NOSIGNAL);
            if (n > 0) {
                c.outOff += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                if (errno == EINTR) continue;
                setWrite(c, true);
                return true;
            }
            drop(c);
            return false;
        }
        c.out.clear();
        c.outOff = 0;
        setWrite(c, false);
        return true;
    }

    void setWrite(Conn& c, bool on) {
        if (c.wantWrite == on) return;
        c.wantWrite = on;
        epoll_event ev{};
        ev.events = static_cast<uint32_t>(EPOLLIN) | (on ? static_cast<uint32_t>(EPOLLOUT) : 0u);
        ev.data.fd = c.fd;
        ::epoll_ctl(epfd_, EPOLL_CTL_MOD, c.fd, &ev);
    }

    void drop(Conn& c) {
        if (c.fd < 0) return;
        auto& members = groups_[c.index / group_];
        std::erase(members, &c);
        ::epoll_ctl(epfd_, EPOLL_CTL_DEL, c.fd, nullptr);
        ::close(c.fd);
        const int fd = c.fd;
        c.fd = -1;
        // The record itself is freed at the end of the event batch that dropped it.
        graveyard_.push_back(std::move(conns_[fd]));
        conns_.erase(fd);
    }

    bool fanout_;
    size_t group_;
    std::string replyFrame_;
    int listenFd_ = -1;
    int epfd_ = -1;
    size_t accepted_ = 0;
    std::map<int, std::unique_ptr<Conn>> conns_;
    std::map<size_t, std::vector<Conn*>> groups_;
    std::vector<std::unique_ptr<Conn>> graveyard_;
};

}  // namespace

int main(int argc, char** argv) {
    long port = 0, group = 4, seconds = 300;
    bool fanout = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--port" && hasValue) {
            port = std::strtol(argv[++i], nullptr, 10);
        } else if (a == "--group" && hasValue) {
            group = std::strtol(argv[++i], nullptr, 10);
        } else if (a == "--seconds" && hasValue) {
            seconds = std::strtol(argv[++i], nullptr, 10);
        } else if (a == "--mode" && hasValue) {
            const std::string m = argv[++i];
            if (m != "echo" && m != "fanout") {
                std::fputs(kUsage, stderr);
                return 2;
            }
            fanout = m == "fanout";
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (port < 0 || port > 65535 || group < 1 || seconds < 1) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::signal(SIGINT, [](int) { stopRequested = 1; });
    std::signal(SIGTERM, [](int) { stopRequested = 1; });
    std::signal(SIGPIPE, SIG_IGN);

    // The fixed reply has the shape of the real server's answers: the chat
    // acknowledgement in fanout mode, a found-user list otherwise.
    const std::string reply =
        fanout ? EncodeStr(MakeMsgForClient("USRMSGALL", code::E000, text::MsgSent))
               : EncodeStr(MakeArrayMsgForClient("FINDUSER", code::E000,
                                                 R"([{"usrid":"load0","nick":"","gcode":"G1"}])"));
    Server server(fanout, static_cast<size_t>(group), reply);
    if (!server.listen(static_cast<uint16_t>(port))) return 1;
    server.run(std::chrono::seconds(seconds));
    return 0;
}
