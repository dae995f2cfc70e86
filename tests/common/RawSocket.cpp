// A blocking loopback TCP client for tests that need exact bytes on the wire.
// Owned by one test; used from one thread. Depends on nothing but the system.
#include "tests/common/RawSocket.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tessil::test {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

int CountDirEntries(const char* path) {
    DIR* dir = opendir(path);
    if (dir == nullptr) return -1;
    int n = 0;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.') ++n;
    }
    closedir(dir);
    return n - (std::strcmp(path, "/proc/self/fd") == 0 ? 1 : 0);  // the DIR's own fd
}

}  // namespace

RawSocket::~RawSocket() {
    Close();
}

RawSocket::RawSocket(RawSocket&& other) noexcept : fd_(other.fd_) {
    other.fd_ = -1;
}

RawSocket& RawSocket::operator=(RawSocket&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

bool RawSocket::Connect(uint16_t port) {
    Close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        Close();
        return false;
    }
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
}

void RawSocket::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void RawSocket::Abort() {
    if (fd_ < 0) return;
    linger lg{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    Close();
}

bool RawSocket::Send(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool RawSocket::SendFrame(uint16_t type, std::string_view body) {
    std::string frame(6, '\0');
    auto len = static_cast<uint32_t>(body.size());
    for (int i = 0; i < 4; ++i) frame[i] = static_cast<char>((len >> (8 * i)) & 0xFF);
    frame[4] = static_cast<char>(type & 0xFF);
    frame[5] = static_cast<char>(type >> 8);
    frame.append(body);
    return Send(frame);
}

std::optional<std::string> RawSocket::ReadExact(size_t n, std::chrono::milliseconds timeout) {
    std::string out;
    out.resize(n);
    size_t got = 0;
    auto deadline = Clock::now() + timeout;
    while (got < n) {
        pollfd p{fd_, POLLIN, 0};
        int r = ::poll(&p, 1, RemainingMs(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return std::nullopt;
        ssize_t k = ::recv(fd_, out.data() + got, n - got, 0);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return std::nullopt;
        got += static_cast<size_t>(k);
    }
    return out;
}

std::optional<RawSocket::Frame> RawSocket::ReadFrame(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    auto header = ReadExact(6, timeout);
    if (!header) return std::nullopt;
    uint32_t len = 0;
    for (int i = 0; i < 4; ++i)
        len |= static_cast<uint32_t>(static_cast<uint8_t>((*header)[i])) << (8 * i);
    Frame f;
    f.type = static_cast<uint16_t>(static_cast<uint8_t>((*header)[4]) |
                                   (static_cast<uint8_t>((*header)[5]) << 8));
    auto body = ReadExact(len, std::chrono::milliseconds(RemainingMs(deadline)));
    if (!body) return std::nullopt;
    f.body = std::move(*body);
    return f;
}

bool RawSocket::WaitClosed(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    char buf[4096];
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        int r = ::poll(&p, 1, RemainingMs(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        ssize_t k = ::recv(fd_, buf, sizeof buf, 0);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return true;
    }
}

bool RawSocket::StaysOpenAndQuiet(std::chrono::milliseconds period) {
    pollfd p{fd_, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(period.count()));
    return r == 0;
}

int CountOpenFds() {
    return CountDirEntries("/proc/self/fd");
}

int CountThreads() {
    return CountDirEntries("/proc/self/task");
}

}  // namespace tessil::test
