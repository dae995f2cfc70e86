// The listening socket of the TCP engine: binds an IPv4 address and port, keeps exactly
// one accept pending through one reusable accept request, and turns every accepted
// connection into a channel handed to the reactor. On each readiness it takes every
// pending connection until the accept queue is empty; when the process is out of
// descriptors it sheds the waiting connections through a spare descriptor (one log line
// per burst) and waits for the next readiness instead of retrying. Owned by the message server;
// switched on and off from the owner's thread; accept completions run on reactor workers.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "iocpengine/DnLogger.h"
#include "iocpengine/DnTcpRequest.h"
#include "platform/CompletionQueue.h"
#include "platform/Event.h"

namespace tessil {

class TDnTcpReactor;
class TDnTcpChannel;
class TDnAbstractExecutor;
class TDnTcpListener;

// The one accept request of a listener. It has no channel; its completion goes straight
// to the executor, which runs CallHandler on the worker that took it.
class TDnTcpAcceptRequest : public TDnTcpRequest {
  public:
    explicit TDnTcpAcceptRequest(TDnTcpListener* listener);

    // Starts an accept on the listener's socket.
    void Execute() override;
    bool IsComplete() override { return true; }
    void ReExecute() override { Execute(); }
    TDnIORequestType RequestType() const override { return rtAccept; }
    void CallHandler(TDnThreadContext* context) override;
    void SetTransferred(uint32_t) override { FAcceptReceived = 0; }

    // The accepted descriptor (taken over by whoever calls it), or -1.
    int TakeAcceptedSocket();
    const sockaddr_in& RemoteAddr() const { return FRemoteAddr; }

  protected:
    platform::CompletionQueue* CompletionQueueFor() override;

  private:
    TDnTcpListener* FListener;
    uint32_t FAcceptReceived = 0;
    sockaddr_in FRemoteAddr{};
};

class TDnTcpListener {
  public:
    using TDnClientTcpConnect = std::function<void(TDnThreadContext*, TDnTcpChannel*)>;
    // May set `channel` to a channel of its own making (for example a subclass) for the
    // accepted socket; left empty, the listener makes a plain TDnTcpChannel.
    using TDnCreateTcpChannel =
        std::function<void(TDnThreadContext*, int socket, const sockaddr_in& addr, TDnTcpReactor*,
                           TDnTcpChannel*& channel)>;

    TDnTcpListener();
    // Switches off when active.
    ~TDnTcpListener();
    TDnTcpListener(const TDnTcpListener&) = delete;
    TDnTcpListener& operator=(const TDnTcpListener&) = delete;

    bool Active() const { return active_.load(std::memory_order_acquire); }
    // Switching on binds, listens and queues the first accept; it raises
    // EDnWindowsException (errno and its text) when the socket cannot be made, bound or
    // listened on, and leaves the listener off with nothing open. Switching off closes the
    // socket and returns once the pending accept has come back.
    void SetActive(bool value);

    const std::string& Address() const { return address_; }
    // Kept only when it is a dotted IPv4 address; anything else is ignored.
    void SetAddress(const std::string& address);
    uint16_t Port() const { return port_; }
    void SetPort(uint16_t port) { port_ = port; }
    // The port actually bound while on (differs from Port() when Port() is 0).
    uint16_t BoundPort() const { return boundPort_.load(std::memory_order_acquire); }
    int32_t BackLog() const { return backLog_; }
    void SetBackLog(int32_t n) { backLog_ = n; }
    // The largest backlog the system grants (net.core.somaxconn).
    static int32_t SystemMaxBackLog();
    // Applied to every accepted socket: Nagle's delay (TCP_NODELAY when false) and
    // keep-alive probes.
    bool UseNagle() const { return nagle_; }
    void SetUseNagle(bool v) { nagle_ = v; }
    bool KeepAlive() const { return keepAlive_; }
    void SetKeepAlive(bool v) { keepAlive_ = v; }
    // Connections shed because no descriptor was free (since construction).
    uint64_t ShedCount() const { return shed_.load(std::memory_order_relaxed); }

    TDnTcpReactor* Reactor() const { return reactor_; }
    void SetReactor(TDnTcpReactor* reactor) { reactor_ = reactor; }
    TDnAbstractExecutor* Executor() const { return executor_; }
    void SetExecutor(TDnAbstractExecutor* executor) { executor_ = executor; }
    TDnAbstractLogger* Logger() const { return logger_; }
    void SetLogger(TDnAbstractLogger* logger) { logger_ = logger; }
    TDnLogLevel LogLevel() const { return logLevel_; }
    void SetLogLevel(TDnLogLevel level) { logLevel_ = level; }

    // Events: set before switching on. Both run on a reactor worker with the listener's
    // lock held, so connections are announced one at a time.
    void SetOnIncoming(TDnClientTcpConnect fn) { onClientConnect_ = std::move(fn); }
    void SetOnCreateChannel(TDnCreateTcpChannel fn) { onCreateChannel_ = std::move(fn); }

    // Waits at most timeoutMs for the switch-off to have completed; true when it has.
    bool WaitForShutdown(uint32_t timeoutMs);
    bool IsShutdowned() { return WaitForShutdown(0); }

    void Lock() { guard_.lock(); }
    void Unlock() { guard_.unlock(); }

    // Logs s at LogLevel when a logger is set; never raises.
    void DoLogMessage(const std::string& s) noexcept;

  private:
    friend class TDnTcpAcceptRequest;

    bool TurnOn();
    bool TurnOff(std::unique_lock<std::recursive_mutex>& lock);
    void QueueRequest();
    // The accept request's completion (worker thread).
    void AcceptCompleted(TDnThreadContext* context, TDnTcpAcceptRequest* request);
    // Makes a channel of an accepted socket and announces it (listener lock held).
    void Admit(TDnThreadContext* context, int fd, const sockaddr_in& peer);
    // Out of descriptors: accepts and closes what waits, using the spare descriptor.
    void Shed(int error);
    TDnTcpChannel* DoCreateChannel(TDnThreadContext* context, int socket, const sockaddr_in& addr);
    void DoClientConnect(TDnThreadContext* context, TDnTcpChannel* channel);
    void Log(TDnLogLevel level, const std::string& s) noexcept;

    std::atomic<bool> active_{false};
    bool nagle_ = true;
    bool keepAlive_ = false;
    std::string address_ = "0.0.0.0";
    uint16_t port_ = 7080;
    std::atomic<uint16_t> boundPort_{0};
    int32_t backLog_ = 5;
    TDnTcpReactor* reactor_ = nullptr;
    TDnAbstractExecutor* executor_ = nullptr;
    TDnAbstractLogger* logger_ = nullptr;
    TDnLogLevel logLevel_ = llMandatory;
    TDnClientTcpConnect onClientConnect_;
    TDnCreateTcpChannel onCreateChannel_;

    std::recursive_mutex guard_;
    // The listening socket, associated with the reactor's queue while on.
    std::shared_ptr<platform::CompletionQueue> queue_;
    platform::SocketHandle socket_;
    std::unique_ptr<TDnTcpAcceptRequest> request_;
    bool requestPending_ = false;
    // Held open so that, with the descriptor table full, one can be freed to accept and
    // close a waiting connection.
    int spareFd_ = -1;
    std::atomic<uint64_t> shed_{0};
    // Signalled (manual reset) once the switch-off has completed; stays signalled until
    // the next switch-on.
    platform::Event turningOff_{true, true};
};

}  // namespace tessil
