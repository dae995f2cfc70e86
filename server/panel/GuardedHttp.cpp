// The bounded HTTP server of the panel and the operations endpoint (see GuardedHttp.h).
// The accept thread vets each connection and hands it to the pool; a watchdog thread
// ends connections whose request is not read in time.
#include "server/panel/GuardedHttp.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "platform/AppLog.h"
#include "platform/Settings.h"

namespace tessil {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The library keeps its per-connection entry point private. An explicit instantiation
// may name a private member (the language exempts it from access checks); that is how
// the listener hands the connections it vetted to the route server, which never listens.
using ProcessFn = bool (httplib::Server::*)(socket_t);
ProcessFn ProcessSocketEntry();
template <ProcessFn F>
struct ProcessEntry {
    friend ProcessFn ProcessSocketEntry() { return F; }
};
template struct ProcessEntry<&httplib::Server::process_and_close_socket>;

// Set on the accept thread while a connection is turned away because the queue is full.
thread_local bool tRejecting = false;
// The connection the current pool thread serves (its watched duplicate descriptor).
thread_local int tWatchFd = -1;

void Answer503(int sock, const char* why) {
    std::string body = std::string(why) + "\n";
    std::string text =
        "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\n"
        "Retry-After: 1\r\nConnection: close\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    // Never waits: a peer that does not read simply misses the answer.
    (void)::send(sock, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
}

std::string PeerAddress(int sock) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (::getpeername(sock, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return "?";
    char host[NI_MAXHOST] = {};
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&ss), len, host, sizeof host, nullptr, 0,
                      NI_NUMERICHOST) != 0)
        return "?";
    return host;
}

bool IsLoopbackAddress(const sockaddr_storage& ss) {
    if (ss.ss_family == AF_INET) {
        const auto& a = reinterpret_cast<const sockaddr_in&>(ss);
        return (ntohl(a.sin_addr.s_addr) >> 24) == 127;
    }
    if (ss.ss_family == AF_INET6) {
        const auto& a = reinterpret_cast<const sockaddr_in6&>(ss);
        if (IN6_IS_ADDR_LOOPBACK(&a.sin6_addr)) return true;
        return IN6_IS_ADDR_V4MAPPED(&a.sin6_addr) && a.sin6_addr.s6_addr[12] == 127;
    }
    return false;
}

}  // namespace

THttpLimits THttpLimits::FromSettings() {
    THttpLimits l;
    l.threads = static_cast<int>(settings::Int("Limits", "PanelThreads", l.threads, 2, 256));
    l.queue = static_cast<int>(settings::Int("Limits", "PanelQueue", l.queue, 0, 4096));
    l.streams = static_cast<int>(settings::Int("Limits", "PanelStreams", l.streams, 0, 64));
    l.perAddress = static_cast<int>(
        settings::Int("Limits", "PanelConnectionsPerAddress", l.perAddress, 1, 4096));
    l.requestTime =
        std::chrono::seconds(settings::Int("Limits", "PanelRequestSeconds", 10, 1, 3600));
    // Event streams hold a thread each; at least two threads stay for everything else.
    if (l.streams > l.threads - 2) l.streams = l.threads - 2;
    return l;
}

// The pool: a fixed number of threads and a bounded queue. A connection that finds the
// queue full is answered 503 on the accept thread at once.
class TGuardedHttp::Pool : public httplib::TaskQueue {
  public:
    Pool(int threads, int queue, limits::TEpisode& episode)
        : max_(queue), episode_(episode), threadCount_(threads) {
        for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { Work(); });
    }
    void enqueue(std::function<void()> fn) override {
        {
            std::lock_guard lock(mu_);
            if (static_cast<int>(jobs_.size()) + busy_ < threadCount_ + max_) {
                jobs_.push_back(std::move(fn));
                cv_.notify_one();
                return;
            }
        }
        limits::CountRefusal("panel_queue");
        if (episode_.Begin()) filelog::Write("Panel", "request queue full: answering 503");
        tRejecting = true;
        fn();  // the listener sees tRejecting and answers 503
        tRejecting = false;
    }
    void shutdown() override {
        {
            std::lock_guard lock(mu_);
            stop_ = true;
        }
        cv_.notify_all();
        for (auto& t : threads_) t.join();
    }

  private:
    void Work() {
        for (;;) {
            std::function<void()> fn;
            {
                std::unique_lock lock(mu_);
                cv_.wait(lock, [&] { return stop_ || !jobs_.empty(); });
                if (jobs_.empty()) return;  // stopping
                fn = std::move(jobs_.front());
                jobs_.pop_front();
                ++busy_;
            }
            fn();
            std::lock_guard lock(mu_);
            --busy_;
        }
    }

    const int max_;
    limits::TEpisode& episode_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    int busy_ = 0;  // jobs running
    int threadCount_;
    bool stop_ = false;
    std::vector<std::thread> threads_;
};

// The listening server: accepts and passes each connection to TGuardedHttp::Serve.
class TGuardedHttp::Listener : public httplib::Server {
  public:
    explicit Listener(TGuardedHttp& owner) : owner_(owner) {}
    int Socket() const { return svr_sock_; }
    // Gives up a bound socket that will never listen.
    void CloseBound() {
        const int fd = svr_sock_.exchange(-1);
        if (fd >= 0) ::close(fd);
    }

  private:
    bool process_and_close_socket(socket_t sock) override {
        if (tRejecting) {
            Answer503(sock, "busy");
            return false;
        }
        owner_.Serve(sock);
        return true;
    }
    TGuardedHttp& owner_;
};

// The route server: holds the routes and reads, answers and closes one connection at a
// time for the listener. Its listening socket is the listener's, so that the library
// sees a running server.
class TGuardedHttp::RouteServer : public httplib::Server {
  public:
    void SetListening(int fd) { svr_sock_ = fd; }
    bool Process(int sock) { return (this->*ProcessSocketEntry())(sock); }
};

TGuardedHttp::TGuardedHttp(THttpLimits limits)
    : limits_(limits),
      routes_(std::make_unique<RouteServer>()),
      listener_(std::make_unique<Listener>(*this)) {
    auto& r = *routes_;
    r.set_keep_alive_max_count(1);  // one request per connection: the deadline covers it
    r.set_read_timeout(5, 0);
    r.set_write_timeout(5, 0);
    r.set_payload_max_length(limits_.maxBody);
    SetPreRouting(nullptr);
    listener_->new_task_queue = [this] {
        return new Pool(limits_.threads, limits_.queue, queueEpisode_);
    };
    // Only SO_REUSEADDR: the library's default also sets SO_REUSEPORT, which would let a
    // second process bind the same port and take half of its connections.
    listener_->set_socket_options([](int sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    });
}

TGuardedHttp::~TGuardedHttp() {
    Stop();
    routes_->SetListening(-1);
}

void TGuardedHttp::Get(const std::string& path, httplib::Server::Handler handler) {
    routes_->Get(path, [this, handler](const httplib::Request& req, httplib::Response& res) {
        RequestRead();
        handler(req, res);
    });
}

void TGuardedHttp::Post(const std::string& path, httplib::Server::Handler handler) {
    routes_->Post(path, [this, handler](const httplib::Request& req, httplib::Response& res) {
        RequestRead();
        handler(req, res);
    });
}

void TGuardedHttp::SetPreRouting(httplib::Server::HandlerWithResponse handler) {
    routes_->set_pre_routing_handler(
        [this, handler](const httplib::Request& req, httplib::Response& res) {
            // The library would read a chunked body whole, whatever its size: refused here,
            // before any of it is read, as is a body announced above the limit.
            const std::string length = req.get_header_value("Content-Length");
            if (req.has_header("Transfer-Encoding") ||
                (!length.empty() && std::strtoull(length.c_str(), nullptr, 10) > limits_.maxBody)) {
                limits::CountRefusal("panel_body");
                res.status = 413;
                res.set_content("request body too large (or chunked)\n", "text/plain");
                return httplib::Server::HandlerResponse::Handled;
            }
            if (handler) return handler(req, res);
            return httplib::Server::HandlerResponse::Unhandled;
        });
}

bool TGuardedHttp::Start(const std::string& host, uint16_t port, bool loopbackOnly,
                         std::string* error) {
    // Resolved once here, so that the address checked is the address bound.
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::string h = host;
    if (h.size() > 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
    if (int rc = ::getaddrinfo(h.c_str(), nullptr, &hints, &found); rc != 0 || !found) {
        if (error) *error = "cannot resolve " + host + ": " + ::gai_strerror(rc);
        return false;
    }
    char numeric[NI_MAXHOST] = {};
    ::getnameinfo(found->ai_addr, found->ai_addrlen, numeric, sizeof numeric, nullptr, 0,
                  NI_NUMERICHOST);
    ::freeaddrinfo(found);

    int bound = port == 0 ? listener_->bind_to_any_port(numeric)
                          : (listener_->bind_to_port(numeric, port) ? port : -1);
    if (bound <= 0) {
        if (error)
            *error = "cannot listen on " + host + ":" + std::to_string(port) + ": " +
                     std::strerror(errno ? errno : EADDRINUSE);
        return false;
    }
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    ::getsockname(listener_->Socket(), reinterpret_cast<sockaddr*>(&ss), &len);
    loopback_ = IsLoopbackAddress(ss);
    if (loopbackOnly && !loopback_) {
        listener_->CloseBound();
        if (error) *error = host + " is not a loopback address: a token is required";
        return false;
    }
    port_ = static_cast<uint16_t>(bound);
    const std::string n = numeric;
    address_ = (n.find(':') != std::string::npos ? "[" + n + "]" : n) + ":" + std::to_string(port_);
    routes_->SetListening(listener_->Socket());

    watchdog_ = std::thread([this] { Watch(); });
    thread_ = std::thread([this] { listener_->listen_after_bind(); });
    // The library's stop() only reaches a server that has begun listening, so Start
    // returns once it has (a Stop right after Start would otherwise leave accept waiting).
    auto until = Clock::now() + 5s;
    while (!listener_->is_running() && Clock::now() < until) std::this_thread::sleep_for(1ms);
    return true;
}

void TGuardedHttp::Stop() {
    {
        std::lock_guard lock(mu_);
        if (stopping_) return;
        stopping_ = true;
        // Connections still reading a request end now.
        for (auto& [fd, when] : deadlines_) ::shutdown(fd, SHUT_RDWR);
        deadlines_.clear();
    }
    cv_.notify_all();
    if (thread_.joinable()) {
        listener_->stop();
        thread_.join();
    }
    if (watchdog_.joinable()) watchdog_.join();
}

void TGuardedHttp::Serve(int sock) {
    const std::string peer = PeerAddress(sock);
    const int watch = ::dup(sock);  // kept open until unwatched: its number is not reused
    {
        std::lock_guard lock(mu_);
        int& open = perAddress_[peer];
        if (open >= limits_.perAddress || stopping_ || watch < 0) {
            if (open == 0) perAddress_.erase(peer);
            if (watch >= 0) ::close(watch);
            if (!stopping_) {
                limits::CountRefusal("panel_connections_per_address");
                if (addressEpisode_.Begin())
                    filelog::Write("Panel",
                                   "too many connections from " + peer + ": answering 503");
            }
            Answer503(sock, "too many connections from your address");
            return;
        }
        ++open;
        deadlines_[watch] = Clock::now() + limits_.requestTime;
    }
    cv_.notify_all();
    tWatchFd = watch;
    routes_->Process(sock);  // reads, answers and closes sock
    tWatchFd = -1;
    {
        std::lock_guard lock(mu_);
        deadlines_.erase(watch);
        if (--perAddress_[peer] <= 0) perAddress_.erase(peer);
    }
    ::close(watch);
}

void TGuardedHttp::RequestRead() {
    if (tWatchFd < 0) return;
    std::lock_guard lock(mu_);
    deadlines_.erase(tWatchFd);
}

bool TGuardedHttp::OpenStream() {
    if (streams_.fetch_add(1) < limits_.streams) return true;
    streams_.fetch_sub(1);
    limits::CountRefusal("panel_streams");
    if (streamEpisode_.Begin()) filelog::Write("Panel", "too many event streams: answering 503");
    return false;
}

void TGuardedHttp::CloseStream() {
    streams_.fetch_sub(1);
}

void TGuardedHttp::Watch() {
    std::unique_lock lock(mu_);
    while (!stopping_) {
        auto next = Clock::now() + 1s;
        for (auto& [fd, when] : deadlines_) next = std::min(next, when);
        cv_.wait_until(lock, next);
        const auto now = Clock::now();
        for (auto it = deadlines_.begin(); it != deadlines_.end();) {
            if (it->second > now) {
                ++it;
                continue;
            }
            // The serving thread's read fails at once and the library closes the socket.
            ::shutdown(it->first, SHUT_RDWR);
            limits::CountRefusal("panel_request_time");
            if (deadlineEpisode_.Begin())
                filelog::Write("Panel", "a request was not read in time: connection closed");
            it = deadlines_.erase(it);
        }
    }
}

}  // namespace tessil
