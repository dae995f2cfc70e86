// One-connection loopback fake server for client tests; the script runs on its thread.
#include "FakeServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "protocol/MsgFrame.h"

namespace tessil::testing {

Frame FakeConn::ReadFrame() {
    for (;;) {
        if (auto f = reader_.Next()) return *f;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) throw std::runtime_error("fake server: read timed out");
        char buf[65536];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) throw std::runtime_error("fake server: client closed");
        reader_.Feed(std::string_view(buf, static_cast<size_t>(n)));
    }
}

void FakeConn::Send(std::string_view bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0) throw std::runtime_error("fake server: send failed");
        off += static_cast<size_t>(n);
    }
}

void FakeConn::SendFrame(uint16_t type, std::string_view body) {
    Send(EncodeFrame(type, body));
}

void FakeConn::Close() {
    ::shutdown(fd_, SHUT_RDWR);
}

bool FakeConn::WaitPeerClose(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    while (::poll(&p, 1, timeoutMs) > 0) {
        char buf[4096];
        if (::recv(fd_, buf, sizeof buf, 0) <= 0) return true;
    }
    return false;
}

FakeServer::FakeServer(std::function<void(FakeConn&)> script) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 4) != 0) {
        throw std::runtime_error("fake server: cannot listen");
    }
    socklen_t len = sizeof addr;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this, script = std::move(script)] {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) {
            error_ = "fake server: no client connected";
            return;
        }
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        FakeConn conn(fd);
        try {
            script(conn);
        } catch (const std::exception& e) {
            error_ = e.what();
        }
        ::close(fd);
    });
}

std::string FakeServer::Finish() {
    if (thread_.joinable()) thread_.join();
    return error_;
}

FakeServer::~FakeServer() {
    Finish();
    ::close(listenFd_);
}

}  // namespace tessil::testing
