// One TCP connection inside the engine: the socket, the read and write queues of its
// requests, the close state, the read cache, the user's custom data and the inactivity
// time-out. Reference-counted by its holders (requests, reactor registry, timer, the
// user); when the count reaches zero a delete signal frees it on a reactor worker,
// exactly once. Called from any thread; everything mutable is guarded by its lock.
//
// Contract:
// - RunRequest takes ownership of the request in every case. A request given to a closed
//   or closing channel is freed at once without a handler call.
// - One read-queue request and one write-queue request run at a time; each queue runs in
//   arrival order. A graceful close starts when the running request finishes and drops
//   the requests that had not started; a brutal close starts at once.
// - Writes gathered into a send in flight are "started": they complete (with success or
//   with the socket's error) even when a close follows; never-started ones are dropped.
// - Writes are batched per round: a write given to a channel with no write in progress is
//   not sent at once; the channel goes on the calling worker's flush list (or, from any
//   other thread, a flush packet is posted) and at the end of the round its first write
//   gathers every write queued behind it into one send. The writes that one send
//   finished complete in one dispatch, each handler once, in queue order. A brutal close
//   first tries one send of what is queued, so a reply queued just before it still leaves.
// - AppendOutput copies a frame into the channel's output buffer (AppendOutputShared
//   references a frame built once for many channels instead): the output write at the
//   tail of the write queue that has not started yet, or a new one queued (and flushed at
//   the end of the round like any write). A round's frames to one connection therefore
//   cost one request, one buffer from the worker's pool and one send; a send that takes
//   part of the buffer keeps the rest, and frames appended meanwhile go to the next one.
// - The channel allocates nothing it does not use: the outgoing data queue is created on
//   first use and the read cache holds memory only while it holds bytes.
#pragma once

#include <netinet/in.h>
#include <sys/uio.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "iocpengine/DnDataQueue.h"
#include "iocpengine/DnTcpRequest.h"
#include "platform/CompletionQueue.h"

namespace tessil {

class TDnTcpReactor;
class TDnAbstractExecutor;
class TDnTcpWriteRequest;

class TDnTcpChannel : public TDnObject {
  public:
    // The channel of an accepted connection; takes over the socket descriptor.
    TDnTcpChannel(TDnTcpReactor* reactor, int socket, const sockaddr_in& remoteAddr);
    // A channel without a socket.
    explicit TDnTcpChannel(TDnTcpReactor* reactor);
    // Closes the socket if it is still open (a channel never leaks its descriptor).
    ~TDnTcpChannel() override;

    // Reference counting: every holder takes one reference and gives it back; the type
    // and the comment only name the holder.
    void AddRef(TDnIORequestType type, const char* comment = nullptr);
    void Release(TDnIORequestType type, const char* comment = nullptr);
    bool IsFinished();
    int32_t RefCount();
    bool DeletePosted();
    void Lock() { guard_.lock(); }
    void Unlock() { guard_.unlock(); }
    // BasicLockable, for std::lock_guard.
    void lock() { guard_.lock(); }
    void unlock() { guard_.unlock(); }

    void RunRequest(TDnTcpRequest* request);
    // Appends one frame (head then body, one completion with `key` through the handler's
    // DoWrite or DoWriteError) to the output buffer. False, and nothing queued, when the
    // channel is closed or closing.
    bool AppendOutput(IDnTcpWriteHandler* handler, void* key, std::string_view head,
                      std::string_view body = {});
    // The same with the frame referenced by the output buffer instead of copied.
    bool AppendOutputShared(IDnTcpWriteHandler* handler, void* key,
                            const std::shared_ptr<const std::string>& frame);
    // After a request's handler has run: frees it and starts what comes next. For a
    // write, first completes (handler, then free) the queued writes its send finished.
    void ExecuteNext(TDnTcpRequest* request);
    // The end of a round for this channel: starts its first queued write, which gathers
    // the rest (flush list and flush packet; gives back the list's reference).
    void FlushWrites();
    void DeleteRequest(TDnTcpRequest* request);
    // Frees every queued request that has not started, without handler calls.
    void DeleteNonActiveRequests();
    static TDnTcpRequest* MatchingRequest(void* overlapped) {
        return TDnTcpRequest::FromOverlapped(overlapped);
    }
    bool IsClosing();
    bool IsClosed() const { return fd_.load(std::memory_order_acquire) < 0; }

    // Shuts the sending side down and closes the socket, once; pending operations end
    // with an error.
    void CloseSocketHandle();
    void SetNagle(bool value);
    int SocketHandle() const { return fd_.load(std::memory_order_acquire); }
    uint16_t RemotePort() const { return ntohs(remoteAddr_.sin_port); }
    std::string RemoteAddr() const;
    const sockaddr_in* RemoteAddrPtr() const { return &remoteAddr_; }
    TDnTcpReactor* Reactor() const { return reactor_; }

    // Completion-queue binding, made by TDnTcpReactor::PostChannel.
    void AttachToQueue(std::shared_ptr<platform::CompletionQueue> queue);
    platform::CompletionQueue* Queue() const { return queue_.get(); }
    const platform::SocketHandle& IoHandle() const { return io_; }

    // Time-out in seconds, settable once (EDnException ErrCannotSetTimeOutTwice).
    void SetTimeOut(uint32_t value);
    uint32_t TimeOut() const { return timeOut_.load(std::memory_order_relaxed); }
    uint32_t TimeoutTact() const { return timeoutTact_.load(std::memory_order_relaxed); }
    void SetTimeoutTact(uint32_t tact) { timeoutTact_.store(tact, std::memory_order_relaxed); }
    // The timer tact of the last completed read or line operation (or of SetTimeout).
    uint32_t LastIOTact() const { return lastIoTact_.load(std::memory_order_relaxed); }
    // Records read activity at `tact`: pushes the expiry back and opens a new idle period.
    void NoteReadActivity(uint32_t tact);
    bool TimeOutExpired() const { return timeoutReported_.load(std::memory_order_relaxed); }
    // Since when (steady-clock milliseconds) the running read has had some but not all of
    // its bytes; 0 when it has none (a client trickling a frame shows here).
    int64_t PartialReadSinceMs() const { return partialSince_.load(std::memory_order_relaxed); }
    // Reactor workers, on each read completion: partial or not.
    void NotePartialRead(bool partial);
    // The channel's timer message: reports a real idle period once (OnTimeout through the
    // executor) and keeps watching the channel; an active channel is simply re-armed.
    void HandleTimeoutMsg(TDnAbstractExecutor* executor);

    // Read cache: touched only by the request at the head of the read queue.
    uint32_t Add2Cache(const char* block, uint32_t blockSize);
    void InsertToCache(const char* block, uint32_t blockSize);
    uint32_t ExtractFromCache(char* block, uint32_t blockSize);
    bool CacheHasData() const { return cacheHead_ < cache_.size(); }
    uint32_t CacheSize() const { return static_cast<uint32_t>(cache_.size() - cacheHead_); }
    // The string that receives read-ahead bytes (always appended at its end).
    std::string* ReadAheadTarget();

    // The user's object; not owned by the channel.
    void SetCustomData(void* data) { customData_.store(data, std::memory_order_release); }
    void* CustomData() const { return customData_.load(std::memory_order_acquire); }
    int32_t State() const { return state_; }
    void SetState(int32_t v) { state_ = v; }
    // The outgoing data queue (8192, 8192), created on first use.
    TDnDataQueue& Outgoing();

    // Bytes this process holds for the channel beyond the object itself (for the
    // per-connection memory measurement).
    size_t HeapBytes();

  private:
    friend class TDnTcpReactor;
    friend class TDnTcpWriteRequest;

    void StartHead(TDnTcpRequest* head);
    // Queues a write behind the others; the first one is flushed at the end of the round.
    void QueueWriteLocked(TDnTcpRequest* request);
    // Adds a frame (add(write)) to the open output write, or to a new one it queues.
    template <typename Add>
    bool AppendOutputWith(IDnTcpWriteHandler* handler, size_t bytes, Add&& add);
    // Starts what follows in the read or write queue (lock held).
    void StartNextLocked(TDnIORequestType type);
    // Lists the channel for a flush at the end of the round, once (lock held).
    void ScheduleFlushLocked();
    // The first queued write when an earlier send carried all of its bytes (lock held).
    TDnTcpRequest* FinishedWriteHead() const;
    // Puts a completed write at the end of the list of handlers to run (lock held).
    void AppendCompletedLocked(TDnTcpRequest* request);
    // Appends r to, or takes it out of, the list from head to tail (by nextInQueue_).
    static void Link(TDnTcpRequest*& head, TDnTcpRequest*& tail, TDnTcpRequest* r);
    static void Unlink(TDnTcpRequest*& head, TDnTcpRequest*& tail, TDnTcpRequest* r);
    // Builds the gather list for `head` from the writes queued behind it (lock held).
    int GatherWrites(TDnTcpWriteRequest* head, const iovec** iov);
    void DistributeGathered(TDnTcpWriteRequest* head, uint32_t bytes);
    void CompactCache();

    std::recursive_mutex guard_;
    TDnTcpReactor* reactor_;
    std::atomic<int> fd_{-1};
    std::shared_ptr<platform::CompletionQueue> queue_;
    platform::SocketHandle io_;
    sockaddr_in remoteAddr_{};

    TDnTcpRequest* readHead_ = nullptr;
    TDnTcpRequest* readTail_ = nullptr;
    TDnTcpRequest* writeHead_ = nullptr;
    TDnTcpRequest* writeTail_ = nullptr;
    TDnTcpRequest* closingRequest_ = nullptr;
    // The output write that frames are appended to (queued, not started), or null.
    TDnTcpWriteRequest* openOutput_ = nullptr;
    // Completed writes whose handlers are still to run, in send order, and whether a
    // thread is running them.
    TDnTcpRequest* completedHead_ = nullptr;
    TDnTcpRequest* completedTail_ = nullptr;
    bool dispatchingWrites_ = false;
    bool closing_ = false;
    bool deletePosted_ = false;
    bool flushQueued_ = false;
    int32_t refCount_ = 0;
    int32_t state_ = 0;

    std::string cache_;
    size_t cacheHead_ = 0;
    std::unique_ptr<iovec[]> gatherIov_;
    std::unique_ptr<TDnDataQueue> outgoing_;
    std::atomic<void*> customData_{nullptr};

    std::atomic<uint32_t> timeOut_{0};
    std::atomic<uint32_t> timeoutTact_{0};
    std::atomic<uint32_t> lastIoTact_{0};
    std::atomic<bool> timeoutReported_{false};
    std::atomic<int64_t> partialSince_{0};

    // The reactor's registry (guarded by the reactor's lock).
    TDnTcpChannel* regPrev_ = nullptr;
    TDnTcpChannel* regNext_ = nullptr;
    bool registered_ = false;
};

// Carries a channel's time-out to the executor: a pure signal whose handler is the
// reactor's DoTimeoutError.
class TDnTcpTimeoutRequest : public TDnTcpRequest {
  public:
    explicit TDnTcpTimeoutRequest(TDnTcpChannel* channel)
        : TDnTcpRequest(channel, nullptr, rtTimeoutEvent) {}
    void ReExecute() override {}
    TDnIORequestType RequestType() const override { return rtTimeoutEvent; }
    bool IsPureSignal() const override { return true; }
    void CallHandler(TDnThreadContext* context) override;
    void SetTransferred(uint32_t) override {}
};

}  // namespace tessil
