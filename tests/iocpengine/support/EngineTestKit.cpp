// Test kit for the engine (see the header). Test threads and engine workers.
#include "EngineTestKit.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace tessil::testkit {

LoopbackPair MakeLoopbackPair() {
    int lst = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(lst, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(lst, 4) != 0 ||
        getsockname(lst, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("listen failed");
    LoopbackPair p;
    p.client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(p.client, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        throw std::runtime_error("connect failed");
    len = sizeof p.peer;
    p.server = accept4(lst, reinterpret_cast<sockaddr*>(&p.peer), &len, SOCK_CLOEXEC);
    close(lst);
    if (p.server < 0) throw std::runtime_error("accept failed");
    return p;
}

void SendAll(int fd, const std::string& data) {
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n <= 0) throw std::runtime_error("send failed");
        off += static_cast<size_t>(n);
    }
}

std::string RecvExactly(int fd, size_t n, int timeoutMs) {
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[65536];
    while (out.size() < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) break;
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left)) <= 0) break;
        size_t want = std::min(sizeof buf, n - out.size());
        ssize_t got = recv(fd, buf, want, 0);
        if (got <= 0) break;
        out.append(buf, static_cast<size_t>(got));
    }
    return out;
}

bool WaitForEof(int fd, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) return false;
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left)) <= 0) return false;
        ssize_t got = recv(fd, buf, sizeof buf, 0);
        if (got == 0) return true;
        if (got < 0) return errno == ECONNRESET;
    }
}

int OpenDescriptorCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n - 1;  // the directory stream itself
}

void Recorder::Add(Event e) {
    std::lock_guard lock(mu_);
    events_.push_back(std::move(e));
    cv_.notify_all();
}

bool Recorder::WaitFor(size_t n, int timeoutMs) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                        [&] { return events_.size() >= n; });
}

std::vector<Event> Recorder::Events() {
    std::lock_guard lock(mu_);
    return events_;
}

std::vector<std::string> Recorder::Kinds() {
    std::vector<std::string> out;
    for (auto& e : Events()) out.push_back(e.kind);
    return out;
}

void Recorder::DoRead(TDnThreadContext*, TDnTcpChannel*, void* key, const char* buf,
                      uint32_t size) {
    Add({"read", std::string(buf, size), 0, false, key});
}
void Recorder::DoReadError(TDnThreadContext*, TDnTcpChannel*, void* key, uint32_t code) {
    Add({"readerror", "", code, false, key});
}
void Recorder::DoReadClose(TDnThreadContext*, TDnTcpChannel*, void* key) {
    Add({"readclose", "", 0, false, key});
}
void Recorder::DoLine(TDnThreadContext*, TDnTcpChannel*, void* key, const std::string& line,
                      bool eol) {
    Add({"line", line, 0, eol, key});
}
void Recorder::DoLineError(TDnThreadContext*, TDnTcpChannel*, void* key, uint32_t code) {
    Add({"lineerror", "", code, false, key});
}
void Recorder::DoLineClose(TDnThreadContext*, TDnTcpChannel*, void* key) {
    Add({"lineclose", "", 0, false, key});
}
void Recorder::DoWrite(TDnThreadContext*, TDnTcpChannel*, void* key, const char* buf,
                       uint32_t size) {
    Add({"write", std::string(buf, size), 0, false, key});
}
void Recorder::DoWriteError(TDnThreadContext*, TDnTcpChannel*, void* key, uint32_t code) {
    Add({"writeerror", "", code, false, key});
}
void Recorder::DoWriteStream(TDnThreadContext*, TDnTcpChannel*, void* key, std::istream&) {
    Add({"writestream", "", 0, false, key});
}
void Recorder::DoClose(TDnThreadContext*, TDnTcpChannel*, void* key) {
    Add({"close", "", 0, false, key});
}
void Recorder::DoCloseError(TDnThreadContext*, TDnTcpChannel*, void* key, uint32_t code) {
    Add({"closeerror", "", code, false, key});
}

RunningReactor::RunningReactor(int workers, TDnTimerEngine::TClock clock) {
    reactor_.SetThreadSize(workers);
    reactor_.SetExecutor(&executor);
    if (clock) reactor_.SetTimerClock(std::move(clock));
    executor.SetActive(true);
    reactor_.SetActive(true);
}

RunningReactor::~RunningReactor() {
    reactor_.SetActive(false);
}

TDnTcpChannel* RunningReactor::NewChannel(int* clientFd) {
    LoopbackPair p = MakeLoopbackPair();
    auto* ch = new TDnTcpChannel(&reactor_, p.server, p.peer);
    reactor_.PostChannel(ch);
    *clientFd = p.client;
    return ch;
}

}  // namespace tessil::testkit
