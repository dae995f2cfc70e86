// The message server's lifecycle and public operations: Open and Close of the engine,
// sends, disconnects and the client list. Owned by the application; the public
// operations are called from any thread (see CommonMsgServerImpl.h for the lock order).
#include "iocpengine/CommonMsgServer.h"

#include <chrono>
#include <exception>

#include "iocpengine/CommonMsgServerImpl.h"
#include "iocpengine/DnException.h"
#include "platform/Errors.h"
#include "protocol/MsgFrame.h"

namespace tessil {

TCommonMsgServer::Impl::Impl(TCommonMsgServer& o) : owner(o) {
    requestor.SetLogLevel(llCritical);
    requestor.SetOnRead([this](TDnThreadContext* c, TDnTcpChannel* ch, void* k, const char* b,
                               uint32_t n) { TcpRequestorTcpRead(c, ch, k, b, n); });
    requestor.SetOnWriteFrames(
        [this](TDnThreadContext*, TDnTcpChannel* ch, const TDnOutputBuffer& out) {
            TcpRequestorTcpWriteFrames(ch, out.marks.data(), out.marks.size());
        });
    requestor.SetOnWriteStream(
        [this](TDnThreadContext* c, TDnTcpChannel* ch, void* k, std::istream& s) {
            TcpRequestorTcpWriteStream(c, ch, k, s);
        });
    requestor.SetOnClose([this](TDnThreadContext* c, TDnTcpChannel* ch, void* k) {
        TcpRequestorTcpClose(c, ch, k);
    });
    requestor.SetOnClientClose([this](TDnThreadContext* c, TDnTcpChannel* ch, void* k) {
        TcpRequestorTcpClientClose(c, ch, k);
    });
    requestor.SetOnError([this](TDnThreadContext* c, TDnTcpChannel* ch, void* k, uint32_t e) {
        TcpRequestorTcpError(c, ch, k, e);
    });
}

void TCommonMsgServer::Impl::Open() {
    std::lock_guard state(stateMu);
    if (active.load()) return;
    shutdown.store(false);

    reactor = std::make_unique<TDnTcpReactor>();
    listener = std::make_unique<TDnTcpListener>();
    executor = std::make_unique<TDnSimpleExecutor>();
    logger = std::make_unique<TDnFileLogger>();
    winsock = std::make_unique<TDnWinSockMgr>();

    logger->SetFileName(logDir.empty() ? "Velmora.log" : logDir + "/Velmora.log");
    logger->SetMinLevel(llCritical);
    executor->SetLogger(logger.get());
    executor->SetLogLevel(llCritical);
    reactor->SetLogger(logger.get());
    reactor->SetExecutor(executor.get());
    reactor->SetThreadSize(workers);
    reactor->SetOnTimeout([this](TDnThreadContext* c, TDnTcpChannel* ch) { HandleTimeout(c, ch); });
    listener->SetLogger(logger.get());
    listener->SetExecutor(executor.get());
    listener->SetReactor(reactor.get());
    listener->SetLogLevel(llCritical);
    requestor.SetLogger(logger.get());
    requestor.SetExecutor(executor.get());
    requestor.SetReactor(reactor.get());
    listener->SetOnIncoming(
        [this](TDnThreadContext* c, TDnTcpChannel* ch) { TcpListenerIncoming(c, ch); });
    listener->SetOnCreateChannel(
        [](TDnThreadContext*, int socket, const sockaddr_in& addr, TDnTcpReactor* r,
           TDnTcpChannel*& channel) { channel = new TMsgServerChannel(r, socket, addr); });
    // Replies are small and latency-bound: no coalescing delay on the way out (writes are
    // batched per round already). After a restart every client reconnects at once: the
    // accept queue is as long as the system allows.
    listener->SetUseNagle(false);
    listener->SetBackLog(TDnTcpListener::SystemMaxBackLog());

    try {
        winsock->SetActive(true);
        // The engine log is switched on first, so that every later step can log into it.
        logger->SetActive(true);
        liveLogger.store(logger.get());
        executor->SetActive(true);
        reactor->SetActive(true);
        liveReactor.store(reactor.get());
        requestor.SetActive(true);
        listener->SetPort(port.load());
        listener->SetActive(true);
    } catch (const EDnException& e) {
        int32_t sub = e.ErrorSubCode();
        std::string text = e.ErrorCode() == ErrWin32 ? platform::ErrorText(sub) : e.ErrorMessage();
        TearDownEngine();
        throw EDnException(e.ErrorCode(), sub,
                           "Cannot listen on port " + std::to_string(port.load()) + ": " + text);
    } catch (const std::exception& e) {
        TearDownEngine();
        throw EDnException(ErrInvalidConfig, 0,
                           "Cannot start the message server: " + std::string(e.what()));
    }
    boundPort.store(listener->BoundPort());
    active.store(true);
    StartSweeper();
}

void TCommonMsgServer::Impl::Close() {
    std::lock_guard state(stateMu);
    if (!listener) return;
    StopSweeper();
    shutdown.store(true);
    if (listener->Active()) {
        listener->SetActive(false);
        listener->WaitForShutdown(5000);
    }
    // Connections still open would keep their sockets and records once the workers are
    // gone: close them and let their close completions run while the workers still do.
    DisconnectAll();
    WaitForNoClients(5000);
    TearDownEngine();
}

// Switches off and frees whatever Open created, in the order that lets the last
// completions run: requestor, reactor (which drains its queue), executor, logger, then
// the socket-library switch.
void TCommonMsgServer::Impl::TearDownEngine() {
    auto quiet = [](auto&& fn) {
        try {
            fn();
        } catch (...) {
        }
    };
    if (listener) quiet([&] { listener->SetActive(false); });
    requestor.SetActive(false);
    if (reactor) quiet([&] { reactor->SetActive(false); });
    liveReactor.store(nullptr);
    if (executor) quiet([&] { executor->SetActive(false); });
    liveLogger.store(nullptr);
    if (logger) quiet([&] { logger->SetActive(false); });
    listener.reset();
    requestor.SetReactor(nullptr);
    requestor.SetExecutor(nullptr);
    requestor.SetLogger(nullptr);
    reactor.reset();
    executor.reset();
    logger.reset();
    if (winsock) quiet([&] { winsock->SetActive(false); });
    winsock.reset();
    boundPort.store(0);
    active.store(false);
}

void TCommonMsgServer::Impl::DisconnectAll() {
    std::vector<TClientRecPtr> snapshot;
    {
        std::lock_guard lock(guard);
        snapshot.assign(clients.begin(), clients.end());
    }
    for (const auto& c : snapshot) CloseClient(c.get(), enginestats::TCloseReason::Requested);
}

bool TCommonMsgServer::Impl::WaitForNoClients(int timeoutMs) {
    std::unique_lock lock(guard);
    return listChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [&] { return clients.empty(); });
}

TCommonMsgServer::TCommonMsgServer() : impl_(std::make_unique<Impl>(*this)) {}

TCommonMsgServer::~TCommonMsgServer() {
    impl_->Close();
    // Records still listed (their close did not complete in time) give their channel
    // reference back; no disconnect event is raised for them.
    std::list<TClientRecPtr> left;
    {
        std::lock_guard lock(impl_->guard);
        left.swap(impl_->clients);
    }
    for (auto& c : left) {
        TDnTcpChannel* channel = nullptr;
        {
            std::lock_guard send(c->FSendGuard);
            channel = c->FChannel;
            c->FChannel = nullptr;
        }
        c->FRemoved = true;
        if (channel) channel->Release(rtClientList);
    }
}

void TCommonMsgServer::SetOnClientConnected(TOnClientConnectedEvent fn) {
    impl_->onClientConnected.Set(std::move(fn));
}
void TCommonMsgServer::SetOnClientDisconnected(TOnClientDisconnectedEvent fn) {
    impl_->onClientDisconnected.Set(std::move(fn));
}
void TCommonMsgServer::SetOnClientAuthentication(TOnClientAuthenticationEvent fn) {
    impl_->onClientAuthentication.Set(std::move(fn));
}
void TCommonMsgServer::SetOnDataReceived(TOnDataReceivedEvent fn) {
    impl_->onDataReceived.Set(std::move(fn));
}
void TCommonMsgServer::SetOnError(TOnErrorEvent fn) {
    impl_->onError.Set(std::move(fn));
}
void TCommonMsgServer::SetOnStreamSent(TOnStreamSentEvent fn) {
    impl_->onStreamSent.Set(std::move(fn));
}
void TCommonMsgServer::SetStreamSentEvents(bool on) {
    impl_->streamSentEvents.store(on);
}

uint16_t TCommonMsgServer::Port() const {
    uint16_t bound = impl_->boundPort.load();
    return bound != 0 ? bound : impl_->port.load();
}
void TCommonMsgServer::SetPort(uint16_t port) {
    impl_->port = port;
}
uint32_t TCommonMsgServer::Timeout() const {
    return impl_->timeout.load();
}
void TCommonMsgServer::SetTimeout(uint32_t seconds) {
    impl_->timeout.store(seconds);
}
int TCommonMsgServer::WorkerCount() const {
    return impl_->workers;
}
void TCommonMsgServer::SetWorkerCount(int n) {
    impl_->workers = n;
}
std::string TCommonMsgServer::LogDir() const {
    return impl_->logDir;
}
void TCommonMsgServer::SetLogDir(std::string dir) {
    impl_->logDir = std::move(dir);
}

bool TCommonMsgServer::Active() const {
    return impl_->active.load();
}

void TCommonMsgServer::SetActive(bool value) {
    if (value == Active()) return;
    if (value)
        Open();
    else
        Close();
}

void TCommonMsgServer::Open() {
    impl_->Open();
}
void TCommonMsgServer::Close() {
    impl_->Close();
}

void TCommonMsgServer::DisconnectAll() {
    impl_->DisconnectAll();
}

void TCommonMsgServer::DisconnectClient(const TClientRecPtr& client) {
    if (client) impl_->CloseClient(client.get(), enginestats::TCloseReason::Requested);
}

void TCommonMsgServer::SendString(std::string_view body, const TClientRecPtr& client) {
    if (!client || client->FShutdown.load()) return;
    try {
        impl_->InternalSend(client.get(), mtData, body);
    } catch (...) {
        // The caller learns nothing about the outcome; the frame is not sent.
    }
}

void TCommonMsgServer::SendFrame(const std::shared_ptr<const std::string>& frame,
                                 const TClientRecPtr& client) {
    if (!client || !frame || client->FShutdown.load()) return;
    try {
        impl_->InternalSendShared(client.get(), frame);
    } catch (...) {
    }
}

void TCommonMsgServer::ChargeReply(const TClientRecPtr& client, uint64_t bytes) {
    if (client) impl_->ChargeReply(client.get(), bytes);
}

int32_t TCommonMsgServer::GetClientCount() const {
    return impl_->clientCount.load();
}

void TCommonMsgServer::SetMaxPendingOutput(uint64_t bytes) {
    impl_->maxPendingOut.store(bytes);
}

void TCommonMsgServer::SetLimits(const TConnectionLimits& limits) {
    impl_->limits = limits;
}

uint64_t TCommonMsgServer::BytesIn() const {
    return impl_->bytesIn.load();
}
uint64_t TCommonMsgServer::BytesOut() const {
    return impl_->bytesOut.load();
}

}  // namespace tessil
