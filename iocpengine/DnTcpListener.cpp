// The listening socket and its one reusable accept request. Owned by the message server;
// switched from the owner's thread, accept completions on reactor workers.
#include "iocpengine/DnTcpListener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include "iocpengine/DnException.h"
#include "iocpengine/DnExecutor.h"
#include "iocpengine/DnTcpChannel.h"
#include "iocpengine/DnTcpReactor.h"
#include "iocpengine/EngineStats.h"
#include "platform/LimitEvents.h"

namespace tessil {

namespace {
// Connections taken per readiness before the listener lets other work run; the rest wait
// for the accept it queues next (which finds the socket still readable).
constexpr int kMaxAcceptsPerRound = 1024;

int OpenSpare() {
    return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}
}  // namespace

int32_t TDnTcpListener::SystemMaxBackLog() {
    int32_t n = SOMAXCONN;
    if (std::FILE* f = std::fopen("/proc/sys/net/core/somaxconn", "r")) {
        int v = 0;
        if (std::fscanf(f, "%d", &v) == 1 && v > 0) n = v;
        std::fclose(f);
    }
    return n;
}

TDnTcpAcceptRequest::TDnTcpAcceptRequest(TDnTcpListener* listener)
    : TDnTcpRequest(nullptr, nullptr, rtAccept), FListener(listener) {}

platform::CompletionQueue* TDnTcpAcceptRequest::CompletionQueueFor() {
    return FListener->queue_.get();
}

void TDnTcpAcceptRequest::Execute() {
    TDnTcpRequest::Execute();
    FAcceptReceived = 0;
    FRemoteAddr = sockaddr_in{};
    AddRef();
    // Never blocks: the accept completes through the queue, also when the socket is
    // already closed (with an error then).
    FListener->queue_->Accept(FListener->socket_, Overlapped());
}

int TDnTcpAcceptRequest::TakeAcceptedSocket() {
    int fd = Overlapped()->acceptedFd;
    Overlapped()->acceptedFd = -1;
    return fd;
}

void TDnTcpAcceptRequest::CallHandler(TDnThreadContext* context) {
    FListener->AcceptCompleted(context, this);
}

TDnTcpListener::TDnTcpListener() = default;

TDnTcpListener::~TDnTcpListener() {
    SetActive(false);
    std::lock_guard lock(guard_);
    if (request_) {
        // An accepted socket nobody took is closed, never leaked.
        int fd = request_->TakeAcceptedSocket();
        if (fd >= 0) ::close(fd);
    }
}

void TDnTcpListener::SetActive(bool value) {
    std::unique_lock lock(guard_);
    if (!Active() && value) {
        active_.store(TurnOn(), std::memory_order_release);
    } else if (Active() && !value) {
        active_.store(TurnOff(lock), std::memory_order_release);
    }
}

void TDnTcpListener::SetAddress(const std::string& address) {
    in_addr parsed{};
    if (::inet_pton(AF_INET, address.c_str(), &parsed) == 1) address_ = address;
}

bool TDnTcpListener::TurnOn() {
    if (reactor_ == nullptr || !reactor_->Queue()) throw EDnException(ErrObjectNotActive, 0);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw EDnWindowsException(errno);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port_);
    ::inet_pton(AF_INET, address_.c_str(), &addr.sin_addr);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, backLog_) != 0) {
        int err = errno;
        ::close(fd);
        throw EDnWindowsException(err);
    }
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
    boundPort_.store(ntohs(bound.sin_port), std::memory_order_release);

    queue_ = reactor_->Queue();
    try {
        socket_ = queue_->Associate(fd, 0);  // takes the descriptor over
    } catch (const std::system_error& e) {
        ::close(fd);
        queue_.reset();
        throw EDnWindowsException(e.code().value());
    }
    if (spareFd_ < 0) spareFd_ = OpenSpare();
    turningOff_.Reset();
    active_.store(true, std::memory_order_release);
    QueueRequest();
    return true;
}

bool TDnTcpListener::TurnOff(std::unique_lock<std::recursive_mutex>& lock) {
    active_.store(false, std::memory_order_release);
    if (queue_ && socket_.Valid()) queue_->Close(socket_);  // the pending accept comes back
    // Without running workers the aborted accept would never be dispatched.
    if (requestPending_ && reactor_ != nullptr && reactor_->Active()) {
        lock.unlock();
        turningOff_.Wait();
        lock.lock();
    } else {
        turningOff_.Set();
    }
    socket_ = platform::SocketHandle{};
    queue_.reset();
    if (spareFd_ >= 0) ::close(spareFd_);
    spareFd_ = -1;
    boundPort_.store(0, std::memory_order_release);
    return false;
}

void TDnTcpListener::QueueRequest() {
    if (!request_) request_ = std::make_unique<TDnTcpAcceptRequest>(this);
    requestPending_ = true;
    request_->Execute();
}

void TDnTcpListener::AcceptCompleted(TDnThreadContext* context, TDnTcpAcceptRequest* request) {
    std::unique_lock lock(guard_);
    int fd = request->TakeAcceptedSocket();
    const int error = static_cast<int>(request->ErrorCode());
    if (error == 0 && fd >= 0) {
        Admit(context, fd, request->Overlapped()->peer);
        // Drain the accept queue: every waiting connection now, one after the other, in
        // the order the system queued them.
        for (int n = 1; n < kMaxAcceptsPerRound && Active(); ++n) {
            sockaddr_in peer{};
            int err = 0;
            int more = queue_->TryAccept(socket_, &peer, &err);
            if (more < 0) {
                if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) Shed(err);
                break;
            }
            Admit(context, more, peer);
        }
    } else {
        if (fd >= 0) ::close(fd);
        if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
            Shed(error);
        } else {
            // A switch-off makes the pending accept come back aborted: logged like any other.
            Log(llCritical, "Failed to AcceptEx. Error code is " + std::to_string(error));
        }
    }
    requestPending_ = false;
    if (Active()) {
        QueueRequest();
    } else {
        turningOff_.Set();
    }
}

void TDnTcpListener::Admit(TDnThreadContext* context, int fd, const sockaddr_in& peer) {
    int nodelay = nagle_ ? 0 : 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, sizeof nodelay);
    if (keepAlive_) {
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    }
    TDnTcpChannel* channel = nullptr;
    try {
        channel = DoCreateChannel(context, fd, peer);
        fd = -1;  // the channel owns the descriptor now
        reactor_->PostChannel(channel);
        DoClientConnect(context, channel);
    } catch (const std::exception& e) {
        Log(llCritical, std::string("Failed to register an accepted connection. ") + e.what());
        if (fd >= 0) ::close(fd);
        if (channel != nullptr && channel->RefCount() == 0) delete channel;
    }
}

void TDnTcpListener::Shed(int error) {
    static limits::TEpisode episode;
    uint64_t shed = 0;
    // With the spare descriptor given up, each waiting connection can be taken and closed
    // (the peer sees its connection end); once the queue is empty the spare is taken back
    // and the listener waits for the next readiness: no retry loop while descriptors are
    // short.
    while (spareFd_ >= 0 && Active()) {
        ::close(spareFd_);
        sockaddr_in peer{};
        int err = 0;
        int fd = queue_->TryAccept(socket_, &peer, &err);
        if (fd >= 0) ::close(fd);
        spareFd_ = OpenSpare();
        if (fd < 0) break;
        ++shed;
    }
    shed_.fetch_add(shed, std::memory_order_relaxed);
    for (uint64_t i = 0; i < shed; ++i) enginestats::CountShed();
    limits::CountRefusal("descriptors", shed > 0 ? shed : 1);
    if (episode.Begin()) {
        Log(llCritical, std::string("Out of descriptors, new connections are refused: ") +
                            std::strerror(error));
    }
}

TDnTcpChannel* TDnTcpListener::DoCreateChannel(TDnThreadContext* context, int socket,
                                               const sockaddr_in& addr) {
    TDnTcpChannel* channel = nullptr;
    if (onCreateChannel_) {
        try {
            onCreateChannel_(context, socket, addr, reactor_, channel);
        } catch (const std::exception& e) {
            DoLogMessage(e.what());
            channel = nullptr;
        }
    }
    if (channel == nullptr) channel = new TDnTcpChannel(reactor_, socket, addr);
    return channel;
}

void TDnTcpListener::DoClientConnect(TDnThreadContext* context, TDnTcpChannel* channel) {
    if (!onClientConnect_) return;
    try {
        onClientConnect_(context, channel);
    } catch (const std::exception& e) {
        DoLogMessage(e.what());
    }
}

bool TDnTcpListener::WaitForShutdown(uint32_t timeoutMs) {
    return turningOff_.Wait(timeoutMs);
}

void TDnTcpListener::DoLogMessage(const std::string& s) noexcept {
    Log(logLevel_, s);
}

void TDnTcpListener::Log(TDnLogLevel level, const std::string& s) noexcept {
    if (logger_ == nullptr) return;
    try {
        logger_->LogMsg(level, s);
    } catch (...) {
        // A logger that cannot write is not the listener's failure.
    }
}

}  // namespace tessil
