// The non-blocking lobby client: a small state machine over one non-blocking socket,
// driven by Poll() on the caller's thread. Nothing here blocks or sleeps.
#include "client/AsyncLobbyClient.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tessil {

AsyncLobbyClient::AsyncLobbyClient(Options options)
    : opt_(std::move(options)), nextRetry_(opt_.firstRetry) {}

AsyncLobbyClient::~AsyncLobbyClient() {
    closeSocket();
}

void AsyncLobbyClient::setState(State s, const std::string& why) {
    if (s == state_) return;
    state_ = s;
    if (onState_) onState_(s, why);
}

void AsyncLobbyClient::Start() {
    if (state_ != State::Stopped) return;
    nextRetry_ = opt_.firstRetry;
    connectNow();
}

void AsyncLobbyClient::Stop() {
    closeSocket();
    queued_.clear();
    setState(State::Stopped, "stopped");
}

void AsyncLobbyClient::closeSocket() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    out_.clear();
    reader_ = FrameReader();
    verdict_ = authOk_ = false;
}

void AsyncLobbyClient::fail(const std::string& why) {
    closeSocket();
    if (!opt_.reconnect) {
        queued_.clear();
        setState(State::Stopped, why);
        return;
    }
    retryAt_ = Clock::now() + nextRetry_;
    nextRetry_ = std::min(nextRetry_ * 2, opt_.maxRetry);
    setState(State::Waiting, why);
}

void AsyncLobbyClient::connectNow() {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    // Name resolution may block; numeric addresses (the usual case for a game) do not.
    const std::string port = std::to_string(opt_.port);
    if (const int rc = getaddrinfo(opt_.host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        fail(std::string("cannot resolve ") + opt_.host + ": " + gai_strerror(rc));
        return;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        freeaddrinfo(found);
        fail(std::string("socket: ") + std::strerror(errno));
        return;
    }
    const int rc = ::connect(fd, found->ai_addr, found->ai_addrlen);
    const int err = errno;
    freeaddrinfo(found);
    fd_ = fd;
    if (rc != 0 && err != EINPROGRESS) {
        fail(std::string("connect: ") + std::strerror(err));
        return;
    }
    connectDeadline_ = Clock::now() + opt_.connectTimeout;
    setState(State::Connecting);
    if (rc == 0) finishConnect();
}

void AsyncLobbyClient::finishConnect() {
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) {
        fail(std::string("connect: ") + std::strerror(err));
        return;
    }
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    out_ += EncodeFrame(FrameKind::Handshake, SerializeIdentity(opt_.identity));
    setState(State::Handshaking);
}

short AsyncLobbyClient::Events() const {
    if (fd_ < 0) return 0;
    if (state_ == State::Connecting) return POLLOUT;
    return static_cast<short>(POLLIN | (out_.empty() ? 0 : POLLOUT));
}

bool AsyncLobbyClient::SendRequest(std::string_view json) {
    if (state_ == State::Ready) {
        out_ += EncodeFrame(FrameKind::Data, EncodeRequestBody(json));
        return true;
    }
    if (queued_.size() >= opt_.maxQueued) return false;
    queued_.emplace_back(json);
    return true;
}

bool AsyncLobbyClient::SendCommand(std::string_view cmd,
                                   const std::vector<RequestMember>& members) {
    return SendRequest(BuildRequestJson(cmd, members));
}

void AsyncLobbyClient::becomeReady() {
    ++sessions_;
    nextRetry_ = opt_.firstRetry;
    setState(State::Ready);
    while (!queued_.empty() && state_ == State::Ready) {
        out_ += EncodeFrame(FrameKind::Data, EncodeRequestBody(queued_.front()));
        queued_.pop_front();
    }
}

void AsyncLobbyClient::handle(const Frame& f, std::vector<Reply>& out) {
    if (f.Is(FrameKind::Handshake)) {
        if (f.body.empty() || f.body[0] != 'T') {
            fail("handshake refused: " + f.body);
            return;
        }
        verdict_ = true;
    } else if (f.Is(FrameKind::Data)) {
        Reply r = DecodeReply(f.body);
        if (r.cmd == "AUTHOK") authOk_ = true;
        const bool loginReply = state_ == State::LoggingIn && r.cmd == "LOGIN";
        out.push_back(std::move(r));
        if (loginReply) {
            if (out.back().code == "E000") {
                becomeReady();
            } else {
                fail("login refused: " + out.back().code + " " + out.back().data);
                return;
            }
        }
    } else {
        return;  // heartbeats and client lists are not asked for by this client
    }
    if (state_ == State::Handshaking && verdict_ && authOk_) {
        if (opt_.usrid.empty()) {
            becomeReady();
        } else {
            out_ += EncodeFrame(FrameKind::Data, EncodeRequestBody(BuildRequestJson(
                                                     "LOGIN", {{"usrid", opt_.usrid, false},
                                                               {"pass", opt_.pass, false},
                                                               {"gcode", opt_.gcode, false}})));
            setState(State::LoggingIn);
        }
    }
}

void AsyncLobbyClient::readSome() {
    char buf[64 * 1024];
    for (;;) {
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n > 0) {
            reader_.Feed(std::string_view(buf, static_cast<size_t>(n)));
            if (static_cast<size_t>(n) < sizeof buf) return;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        fail(n == 0 ? "closed by the server" : std::string("recv: ") + std::strerror(errno));
        return;
    }
}

void AsyncLobbyClient::writeSome() {
    while (fd_ >= 0 && !out_.empty()) {
        const ssize_t n = ::send(fd_, out_.data(), out_.size(), MSG_NOSIGNAL);
        if (n > 0) {
            out_.erase(0, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        fail(std::string("send: ") + std::strerror(errno));
        return;
    }
}

int AsyncLobbyClient::Poll() {
    const auto now = Clock::now();
    if (state_ == State::Waiting && now >= retryAt_) connectNow();
    if (fd_ < 0) return 0;
    pollfd p{fd_, Events(), 0};
    if (::poll(&p, 1, 0) < 0) return 0;
    if (state_ == State::Connecting) {
        if (p.revents != 0) {
            finishConnect();
        } else if (now >= connectDeadline_) {
            fail("connect timed out");
        }
        if (state_ != State::Handshaking) return 0;
    }
    std::vector<Reply> replies;
    if (fd_ >= 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        readSome();
        try {
            while (fd_ >= 0) {
                auto f = reader_.Next();
                if (!f) break;
                handle(*f, replies);
            }
        } catch (const FrameError& e) {
            fail(e.what());
        }
    }
    writeSome();
    for (const Reply& r : replies) {
        if (onReply_) onReply_(r);
    }
    return static_cast<int>(replies.size());
}

int AsyncLobbyClient::PollFor(Millis timeout) {
    int waitMs = static_cast<int>(timeout.count());
    if (state_ == State::Waiting) {
        const auto untilRetry =
            std::chrono::duration_cast<Millis>(retryAt_ - Clock::now()).count() + 1;
        waitMs = std::max(0, std::min<int>(waitMs, static_cast<int>(untilRetry)));
    }
    if (fd_ >= 0) {
        pollfd p{fd_, Events(), 0};
        ::poll(&p, 1, waitMs);
    } else if (state_ == State::Waiting && waitMs > 0) {
        ::poll(nullptr, 0, waitMs);
    }
    return Poll();
}

}  // namespace tessil
