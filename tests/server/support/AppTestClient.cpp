// Raw framed-protocol test client and free-port finder (see AppTestClient.h).
// One test thread per client.
#include "tests/server/support/AppTestClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "protocol/MsgFrame.h"
#include "protocol/TextUtils.h"

namespace tessil::apptest {

uint16_t FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof(addr);
    uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

AppTestClient::~AppTestClient() {
    Close();
}

void AppTestClient::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool AppTestClient::Connect(uint16_t port) {
    Close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        Close();
        return false;
    }
    return true;
}

bool AppTestClient::SendAll(const std::string& bytes) {
    size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return fd_ >= 0;
}

bool AppTestClient::Handshake(std::string_view id) {
    TMsgClientInfo info;
    info.FID = std::string(id);
    info.FUser = "user";
    info.FPassword = "pw";
    info.FVersion = "1.0";
    return SendAll(EncodeFrame(mtHandshake, info.SerializeTo()));
}

bool AppTestClient::Request(std::string_view json) {
    return SendAll(EncodeFrame(mtData, "TXT" + Base64Encode(json)));
}

bool AppTestClient::ReadExact(char* out, size_t n, std::chrono::steady_clock::time_point until) {
    size_t got = 0;
    while (got < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        ssize_t r = ::recv(fd_, out + got, n - got, 0);
        if (r <= 0) return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

std::optional<std::string> AppTestClient::NextText(std::chrono::milliseconds timeout) {
    auto until = std::chrono::steady_clock::now() + timeout;
    while (fd_ >= 0) {
        char head[kHeaderSize];
        if (!ReadExact(head, kHeaderSize, until)) return std::nullopt;
        TMsgHeader h = TMsgHeader::Decode(head);
        if (h.MsgLen > (1u << 20)) return std::nullopt;
        std::string body(h.MsgLen, '\0');
        if (h.MsgLen > 0 && !ReadExact(body.data(), body.size(), until)) return std::nullopt;
        if (h.MsgType == mtData) return DecodeStr(body);
    }
    return std::nullopt;
}

std::optional<std::string> AppTestClient::WaitText(std::string_view needle,
                                                   std::chrono::milliseconds timeout) {
    auto until = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < until) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        auto text = NextText(left);
        if (!text) return std::nullopt;
        if (text->find(needle) != std::string::npos) return text;
    }
    return std::nullopt;
}

}  // namespace tessil::apptest
