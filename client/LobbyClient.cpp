// Blocking lobby client over one TCP connection, with poll() time-outs. Used by one
// thread at a time (tests, tools, game clients).
#include "client/LobbyClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "protocol/MsgFrame.h"

namespace tessil {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

std::string errnoText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

bool isData(const Frame& f) {
    return f.type == mtData;
}

}  // namespace

LobbyClient::~LobbyClient() {
    Close();
}

void LobbyClient::Connect(std::string_view hostPort, Millis timeout) {
    const size_t colon = hostPort.rfind(':');
    if (colon == std::string_view::npos) {
        throw ClientError(ClientError::Kind::Connect,
                          "expected host:port, got '" + std::string(hostPort) + "'");
    }
    const std::string portText(hostPort.substr(colon + 1));
    char* end = nullptr;
    const long port = std::strtol(portText.c_str(), &end, 10);
    if (portText.empty() || *end != '\0' || port < 1 || port > 65535) {
        throw ClientError(ClientError::Kind::Connect, "bad port '" + portText + "'");
    }
    Connect(std::string(hostPort.substr(0, colon)), static_cast<uint16_t>(port), timeout);
}

void LobbyClient::Connect(const std::string& host, uint16_t port, Millis timeout) {
    Close();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found); rc != 0) {
        throw ClientError(ClientError::Kind::Connect,
                          "cannot resolve '" + host + "': " + gai_strerror(rc));
    }
    sockaddr_in addr = *reinterpret_cast<sockaddr_in*>(found->ai_addr);
    freeaddrinfo(found);
    addr.sin_port = htons(port);

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) throw ClientError(ClientError::Kind::Connect, errnoText("socket"));
    const std::string where = host + ":" + std::to_string(port);
    auto fail = [&](const std::string& why) {
        ::close(fd);
        throw ClientError(ClientError::Kind::Connect, "cannot connect to " + where + ": " + why);
    };
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno != EINPROGRESS) fail(std::strerror(errno));
        pollfd p{fd, POLLOUT, 0};
        const int n = ::poll(&p, 1, static_cast<int>(timeout.count()));
        if (n == 0) fail("timed out");
        if (n < 0) fail(std::strerror(errno));
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) fail(std::strerror(err));
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fd_ = fd;
    peerClosed_ = false;
    reader_ = FrameReader();
    pending_.clear();
}

void LobbyClient::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void LobbyClient::requireOpen() const {
    if (fd_ < 0) throw ClientError(ClientError::Kind::Closed, "not connected");
}

void LobbyClient::SendFrame(uint16_t type, std::string_view body) {
    SendRaw(EncodeFrame(type, body));
}

void LobbyClient::SendRaw(std::string_view bytes) {
    requireOpen();
    if (peerClosed_)
        throw ClientError(ClientError::Kind::Closed, "connection closed by the server");
    const auto deadline = Clock::now() + sendTimeout_;
    size_t off = 0;
    while (off < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n > 0) {
            off += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd_, POLLOUT, 0};
            const int ready = ::poll(&p, 1, remainingMs(deadline));
            if (ready == 0) throw ClientError(ClientError::Kind::Io, "send timed out");
            continue;
        }
        if (errno == EPIPE || errno == ECONNRESET) {
            peerClosed_ = true;
            throw ClientError(ClientError::Kind::Closed, "connection closed by the server");
        }
        throw ClientError(ClientError::Kind::Io, errnoText("send"));
    }
}

bool LobbyClient::readSome(Millis timeout) {
    requireOpen();
    if (peerClosed_)
        throw ClientError(ClientError::Kind::Closed, "connection closed by the server");
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(timeout.count()));
    if (ready < 0) {
        if (errno == EINTR) return false;
        throw ClientError(ClientError::Kind::Io, errnoText("poll"));
    }
    if (ready == 0) return false;
    char buf[64 * 1024];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return false;
        if (errno != ECONNRESET) throw ClientError(ClientError::Kind::Io, errnoText("recv"));
    }
    if (n <= 0) {
        peerClosed_ = true;
        throw ClientError(ClientError::Kind::Closed, "connection closed by the server");
    }
    reader_.Feed(std::string_view(buf, static_cast<size_t>(n)));
    try {
        while (auto f = reader_.Next()) pending_.push_back(std::move(*f));
    } catch (const FrameError& e) {
        Close();
        throw ClientError(ClientError::Kind::Protocol, e.what());
    }
    return true;
}

bool LobbyClient::Pump(Millis timeout) {
    return readSome(timeout);
}

std::optional<Frame> LobbyClient::takeMatching(const std::function<bool(const Frame&)>& match) {
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if (match(*it)) {
            Frame f = std::move(*it);
            pending_.erase(it);
            return f;
        }
    }
    return std::nullopt;
}

std::optional<Frame> LobbyClient::WaitFrame(const std::function<bool(const Frame&)>& match,
                                            Millis timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (auto f = takeMatching(match)) return f;
        const int left = remainingMs(deadline);
        if (left == 0 && Clock::now() >= deadline) {
            // One last non-blocking read, so that a zero time-out still sees what arrived.
            if (fd_ < 0 || peerClosed_ || !readSome(Millis(0))) return std::nullopt;
            if (auto f = takeMatching(match)) return f;
            return std::nullopt;
        }
        readSome(Millis(left));
    }
}

std::optional<Frame> LobbyClient::ReadFrame(Millis timeout) {
    return WaitFrame([](const Frame&) { return true; }, timeout);
}

bool LobbyClient::WaitClosed(Millis timeout) {
    if (peerClosed_) return true;
    const auto deadline = Clock::now() + timeout;
    try {
        while (Clock::now() < deadline) readSome(Millis(remainingMs(deadline)));
    } catch (const ClientError& e) {
        return e.kind() == ClientError::Kind::Closed;
    }
    return false;
}

std::optional<bool> LobbyClient::Handshake(const ClientIdentity& who, Millis timeout) {
    SendFrame(mtHandshake, SerializeIdentity(who));
    const auto verdict = WaitFrame([](const Frame& f) { return f.type == mtHandshake; }, timeout);
    if (!verdict) return std::nullopt;
    return !verdict->body.empty() && verdict->body[0] == 'T';
}

bool LobbyClient::Heartbeat(Millis timeout) {
    SendFrame(mtHeartbeat, {});
    return WaitFrame([](const Frame& f) { return f.type == mtHeartbeat; }, timeout).has_value();
}

std::optional<LobbyClient::ClientList> LobbyClient::RequestClientList(Millis timeout) {
    SendFrame(mtClientList, {});
    const auto deadline = Clock::now() + timeout;
    ClientList list;
    std::string all;
    for (;;) {
        auto chunk = WaitFrame(
            [](const Frame& f) { return f.type == mtClientList || f.type == mtClientListLast; },
            Millis(remainingMs(deadline)));
        if (!chunk) return std::nullopt;
        all += chunk->body;
        const bool last = chunk->type == mtClientListLast;
        list.chunks.push_back(std::move(*chunk));
        if (last) break;
    }
    list.clients = ParseClientList(all);
    return list;
}

void LobbyClient::SendRequest(std::string_view json) {
    SendFrame(mtData, EncodeRequestBody(json));
}

void LobbyClient::SendCommand(std::string_view cmd, const std::vector<RequestMember>& members) {
    SendRequest(BuildRequestJson(cmd, members));
}

std::optional<Reply> LobbyClient::WaitReply(Millis timeout) {
    auto f = WaitFrame(isData, timeout);
    if (!f) return std::nullopt;
    return DecodeReply(f->body);
}

std::optional<Reply> LobbyClient::WaitFor(std::string_view cmd, Millis timeout) {
    const auto deadline = Clock::now() + timeout;
    // Decoding is cheap next to the network; frames that do not match stay queued.
    auto f =
        WaitFrame([cmd](const Frame& fr) { return isData(fr) && DecodeReply(fr.body).cmd == cmd; },
                  Millis(remainingMs(deadline)));
    if (!f) return std::nullopt;
    return DecodeReply(f->body);
}

std::vector<Reply> LobbyClient::TakeReplies() {
    std::vector<Reply> out;
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (isData(*it)) {
            out.push_back(DecodeReply(it->body));
            it = pending_.erase(it);
        } else {
            ++it;
        }
    }
    return out;
}

}  // namespace tessil
