// The message server's private state, shared by its lifecycle half (CommonMsgServer.cpp)
// and its I/O half (CommonMsgServerIo.cpp). Owned by TCommonMsgServer; the I/O half runs
// on reactor workers, the lifecycle half on the owner's thread.
//
// Locks, in the order they may be taken: the listener's lock (held by an accept
// completion), guard (the client list, the handshake strings of every record), a record's
// FSendGuard (its channel pointer), the engine's channel lock. No event handler is called
// with guard or a FSendGuard held, so a handler may take its own locks (the application's
// registry lock) and call back into the server without inverting this order.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "iocpengine/CommonMsgServer.h"
#include "iocpengine/ConnectionLimits.h"
#include "iocpengine/DnExecutor.h"
#include "iocpengine/DnLogger.h"
#include "iocpengine/DnOutputBuffer.h"
#include "iocpengine/DnTcpChannel.h"
#include "iocpengine/DnTcpListener.h"
#include "iocpengine/DnTcpReactor.h"
#include "iocpengine/DnTcpRequestor.h"
#include "iocpengine/DnWinSockMgr.h"
#include "iocpengine/EngineStats.h"
#include "platform/LimitEvents.h"

namespace tessil {

// The channel of a message-server connection: it keeps the connection's record alive for
// as long as any request of the connection may still complete, so a completion's key (the
// record's address) is always valid.
class TMsgServerChannel final : public TDnTcpChannel {
  public:
    using TDnTcpChannel::TDnTcpChannel;
    // Set once at accept, before the first request is queued.
    TClientRecPtr record;
};

// Body pieces are read at most this many bytes at a time.
inline constexpr uint32_t kBodyPieceSize = 64 * 1024;
// A body buffer larger than this is released after its frame instead of kept for reuse.
// The common requests (chat, login, lists) fit, so they are read without an allocation;
// a connection that once sent a large request does not hold its size while it idles
// (19,000 idle connections at 64 KiB each would hold over a gigabyte).
inline constexpr size_t kBodyKeepCapacity = 512;
// Unsent bytes one connection may hold before it is closed as a reader that stopped.
inline constexpr uint64_t kDefaultMaxPendingOut = 64ull * 1024 * 1024;
// Why a connection's reading is paused (TClientRec::FParked bits).
inline constexpr uint8_t kParkOutput = 1;
inline constexpr uint8_t kParkTokens = 2;
// How often the sweeper checks deadlines, backlogs and paused connections.
inline constexpr int kSweepIntervalMs = 250;

// Steady-clock milliseconds (never 0, so 0 can mean "unset").
int64_t NowMs();

// An event handler slot: set and cleared from any thread, raised from workers. A raise
// that starts after a clear never sees the old handler. A raise is one atomic load (it
// runs on every request and every send completion): every handler ever set is kept until
// the slot goes, because a raise that loaded it just before a Set may still be calling
// it. Handlers are set by the owner's code, a few times per server.
template <typename Fn>
class EventSlot {
  public:
    EventSlot() = default;
    EventSlot(const EventSlot&) = delete;
    EventSlot& operator=(const EventSlot&) = delete;
    void Set(Fn fn) {
        auto p = fn ? std::make_unique<const Fn>(std::move(fn)) : nullptr;
        std::lock_guard lock(mu_);
        current_.store(p.get(), std::memory_order_release);
        if (p) kept_.push_back(std::move(p));
    }
    const Fn* Get() const { return current_.load(std::memory_order_acquire); }

  private:
    std::mutex mu_;
    std::atomic<const Fn*> current_{nullptr};
    std::vector<std::unique_ptr<const Fn>> kept_;
};

struct TCommonMsgServer::Impl {
    explicit Impl(TCommonMsgServer& owner);

    // Lifecycle (owner's thread).
    void Open();
    void Close();
    void TearDownEngine();
    void DisconnectAll();
    // Waits until the client list is empty or the time is up.
    bool WaitForNoClients(int timeoutMs);

    // Engine callbacks (workers).
    void TcpListenerIncoming(TDnThreadContext* context, TDnTcpChannel* channel);
    void TcpRequestorTcpRead(TDnThreadContext* context, TDnTcpChannel* channel, void* key,
                             const char* buf, uint32_t bufSize);
    // The frames of one output write: counted off the unsent bytes together, each data
    // frame's body reported to OnStreamSent in order.
    void TcpRequestorTcpWriteFrames(TDnTcpChannel* channel, const TDnOutputMark* marks,
                                    size_t count);
    void TcpRequestorTcpWriteStream(TDnThreadContext* context, TDnTcpChannel* channel, void* key,
                                    std::istream& stream);
    void TcpRequestorTcpClose(TDnThreadContext* context, TDnTcpChannel* channel, void* key);
    void TcpRequestorTcpError(TDnThreadContext* context, TDnTcpChannel* channel, void* key,
                              uint32_t errorCode);
    void TcpRequestorTcpClientClose(TDnThreadContext* context, TDnTcpChannel* channel, void* key);
    void HandleTimeout(TDnThreadContext* context, TDnTcpChannel* channel);

    // The receive steps.
    void QueueHeaderRead(TClientRec* client, TDnTcpChannel* channel);
    void QueueBodyPiece(TClientRec* client, TDnTcpChannel* channel);
    void HandleHeaderRead(TDnTcpChannel* channel, TClientRec* client, const char* buf,
                          uint32_t bufSize);
    void HandleBodyRead(TDnTcpChannel* channel, TClientRec* client, const char* buf,
                        uint32_t bufSize);
    void HandleFrame(TDnTcpChannel* channel, TClientRec* client, std::string_view body);
    void DoDataReceived(TClientRec* client, std::string_view body);
    void DoHandshake(TClientRec* client, std::string_view body);
    void DoClientList(TClientRec* client);
    void DoError(TClientRec* client, const std::string& msg);
    void DoDisconnected(const TClientRecPtr& client);

    // Sending: each frame is copied into the connection's output buffer under the record's
    // send lock and leaves with the rest of the round's frames. False when the record has
    // no channel any more.
    bool InternalSend(TClientRec* client, uint16_t type, std::string_view body);
    bool InternalSendShared(TClientRec* client, const std::shared_ptr<const std::string>& frame);
    // Marks the record with the reason (unless one is set) and queues a brutal close of
    // its channel.
    void CloseClient(TClientRec* client, enginestats::TCloseReason why);
    // Closes a client whose unsent bytes (counted when its frames are queued) pass the
    // limit.
    void CheckPending(TClientRec* client, uint64_t pending);
    // Under the client's send lock: counts size bytes as unsent and runs queue(channel);
    // false when the connection is gone.
    template <typename Queue>
    bool QueueCounted(TClientRec* client, uint64_t size, Queue&& queue);
    void CloseChannel(TDnTcpChannel* channel, TClientRec* client, enginestats::TCloseReason why);

    void LogCritical(const std::string& msg) noexcept;

    // Bounds (CommonMsgServerLimits.cpp).
    // At accept: false (and the connection refused, once-per-episode log) when a cap is
    // reached; otherwise counts the address.
    bool AdmitConnection(const std::string& address, bool& counted);
    void ForgetAddress(TClientRec* client);
    // The largest body a frame may announce in the client's current phase.
    uint32_t BodyLimit(const TClientRec* client) const;
    // After a frame: queues the next header read, or pauses reading while the output is
    // backed up or the request bucket is empty.
    void ContinueReading(TClientRec* client, TDnTcpChannel* channel);
    // Clears a pause reason; the last one cleared queues the next read.
    void Resume(TClientRec* client, uint8_t reason);
    // Takes one token for a request; false when the bucket is empty.
    bool TakeToken(TClientRec* client, int64_t now);
    // Adds what a list reply of `bytes` costs beyond its request to the client's debt.
    void ChargeReply(TClientRec* client, uint64_t bytes);
    // Closes with the reason, a refusal count and one log line per episode of the reason.
    void CloseForLimit(TClientRec* client, enginestats::TCloseReason why, const char* counter,
                       const std::string& line);
    void StartSweeper();
    void StopSweeper();
    void SweepOnce(int64_t now);

    TCommonMsgServer& owner;

    EventSlot<TOnClientConnectedEvent> onClientConnected;
    EventSlot<TOnClientDisconnectedEvent> onClientDisconnected;
    EventSlot<TOnClientAuthenticationEvent> onClientAuthentication;
    EventSlot<TOnDataReceivedEvent> onDataReceived;
    EventSlot<TOnErrorEvent> onError;
    EventSlot<TOnStreamSentEvent> onStreamSent;
    std::atomic<bool> streamSentEvents{true};

    // Settings (owner's thread, read by Open).
    std::atomic<uint16_t> port{0};
    std::atomic<uint32_t> timeout{0};
    int workers = 4;
    std::string logDir;

    // Serializes Open and Close.
    std::mutex stateMu;
    std::atomic<bool> active{false};
    std::atomic<bool> shutdown{false};
    std::atomic<uint16_t> boundPort{0};

    // The requestor lives as long as the server, so a late send or disconnect from another
    // thread always finds it (switched off between Close and the next Open).
    TDnTcpRequestor requestor;
    std::unique_ptr<TDnWinSockMgr> winsock;
    std::unique_ptr<TDnFileLogger> logger;
    std::unique_ptr<TDnSimpleExecutor> executor;
    std::unique_ptr<TDnTcpReactor> reactor;
    std::unique_ptr<TDnTcpListener> listener;
    // Set while the engine is on; read by workers without the state lock.
    std::atomic<TDnTcpReactor*> liveReactor{nullptr};
    std::atomic<TDnFileLogger*> liveLogger{nullptr};

    // The client list (FGuard) in order of acceptance.
    std::mutex guard;
    std::condition_variable listChanged;
    std::list<TClientRecPtr> clients;
    std::atomic<int32_t> clientCount{0};

    std::atomic<uint64_t> bytesIn{0};
    std::atomic<uint64_t> bytesOut{0};
    std::atomic<uint64_t> maxPendingOut{kDefaultMaxPendingOut};

    // Set before Open (owner's thread); read by workers and the sweeper.
    TConnectionLimits limits;
    std::mutex addrMu;
    std::unordered_map<std::string, int> perAddress;
    // One log line per episode for each bound.
    limits::TEpisode refuseEpisode, addressEpisode, sizeEpisode,
        closeEpisodes[static_cast<int>(enginestats::TCloseReason::Count)];
    // The sweeper thread (only when a bound needs one), stopped by Close.
    std::thread sweeper;
    std::mutex sweepMu;
    std::condition_variable sweepWake;
    bool sweepStop = false;
    std::atomic<uint64_t> closesSinceTrim{0};
};

}  // namespace tessil
