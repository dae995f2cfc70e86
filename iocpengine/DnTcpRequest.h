// The base of every engine I/O request, its overlapped record, the reference types that
// name the holders of a channel, and the completion-handler interfaces. A request is
// owned by its channel from RunRequest until ExecuteNext (or a close) frees it; it runs
// on reactor workers, and its first Execute on the thread that handed it to the channel.
//
// Life of a request: built by its user (for example the requestor) with a channel, a key
// and a handler; given to TDnTcpChannel::RunRequest, which owns it from then on (also
// when it refuses it). Execute issues the first operation; each completion goes through
// SetTransferred and IsComplete, then either ReExecute or the executor's PostEvent
// (CallHandler) followed by the channel's ExecuteNext, which frees the request. A write's
// PostEvent is made by ExecuteNext itself, one thread at a time per channel, so write
// handlers run in send order.
// Handlers are plain interfaces held by raw pointer: a handler must outlive every request
// that refers to it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>

#include "iocpengine/DnRuntime.h"
#include "platform/CompletionQueue.h"

namespace tessil {

class TDnTcpChannel;
class TDnTcpRequest;
struct TDnOutputBuffer;

enum TDnIORequestType : int32_t {
    rtRead = 0,
    rtWrite = 1,
    rtConnect = 2,
    rtClose = 3,
    rtBrutalClose = 4,
    rtReadWrite = 5,
    rtAccept = 6,
    rtTimerEngine = 7,
    rtChannelList = 8,
    rtClientList = 9,
    rtTimeoutEvent = 10,
    rtNone = 11,
    rtUser = 12,
    rtUserMessage = 13,
    rtPool = 14,
    rtNodeGate = 15,
};

// The overlapped record followed by the request that owns it; the completion queue hands
// back the record's address and the reactor finds the request from it.
struct TDnReqContext {
    platform::Overlapped FOverlapped;
    TDnTcpRequest* FRequest = nullptr;
};

// Every method gets the executor's context, the channel and the request's key first.
class IDnTcpReadHandler {
  public:
    virtual ~IDnTcpReadHandler() = default;
    virtual void DoRead(TDnThreadContext* context, TDnTcpChannel* channel, void* key,
                        const char* buf, uint32_t bufSize) = 0;
    virtual void DoReadError(TDnThreadContext* context, TDnTcpChannel* channel, void* key,
                             uint32_t errorCode) = 0;
    virtual void DoReadClose(TDnThreadContext* context, TDnTcpChannel* channel, void* key) = 0;
};

class IDnTcpLineHandler {
  public:
    virtual ~IDnTcpLineHandler() = default;
    virtual void DoLine(TDnThreadContext* context, TDnTcpChannel* channel, void* key,
                        const std::string& receivedLine, bool eolFound) = 0;
    virtual void DoLineError(TDnThreadContext* context, TDnTcpChannel* channel, void* key,
                             uint32_t errorCode) = 0;
    virtual void DoLineClose(TDnThreadContext* context, TDnTcpChannel* channel, void* key) = 0;
};

class IDnTcpWriteHandler {
  public:
    virtual ~IDnTcpWriteHandler() = default;
    virtual void DoWrite(TDnThreadContext* context, TDnTcpChannel* channel, void* key,
                         const char* buf, uint32_t bufSize) = 0;
    virtual void DoWriteError(TDnThreadContext* context, TDnTcpChannel* channel, void* key,
                              uint32_t errorCode) = 0;
    // The stream is freed after the call; the handler must not keep it.
    virtual void DoWriteStream(TDnThreadContext* context, TDnTcpChannel* channel, void* key,
                               std::istream& stream) = 0;
    // The frames one output write carried, all sent (out.marks, in order). By default one
    // DoWrite per frame, in order.
    virtual void DoWriteFrames(TDnThreadContext* context, TDnTcpChannel* channel,
                               const TDnOutputBuffer& out);
};

class IDnTcpCloseHandler {
  public:
    virtual ~IDnTcpCloseHandler() = default;
    virtual void DoClose(TDnThreadContext* context, TDnTcpChannel* channel, void* key) = 0;
    virtual void DoCloseError(TDnThreadContext* context, TDnTcpChannel* channel, void* key,
                              uint32_t errorCode) = 0;
};

// The calling worker's slot for one read completed from a channel's cache while the
// worker handles that channel's previous read: the completion is handed back to the
// worker's dispatch loop instead of going through the queue. One per dispatch, on the
// worker's stack; a completion left in it when it ends is posted to the queue.
class TDnInlineReads {
  public:
    TDnInlineReads();
    ~TDnInlineReads();
    TDnInlineReads(const TDnInlineReads&) = delete;
    TDnInlineReads& operator=(const TDnInlineReads&) = delete;
    // Completions of reads of this channel are taken from now on (null: none).
    void Watch(TDnTcpChannel* channel) { channel_ = channel; }
    bool Take(platform::Packet& out);
    // Called by a read request about to post its completion: true when kept here.
    static bool Offer(TDnTcpChannel* channel, const platform::Packet& packet);

  private:
    TDnInlineReads* outer_;
    TDnTcpChannel* channel_ = nullptr;
    bool has_ = false;
    platform::Packet packet_;
};

class TDnTcpRequest : public TDnObject {
  public:
    // Takes one reference of type refType on the channel (when there is one).
    TDnTcpRequest(TDnTcpChannel* channel, void* key, TDnIORequestType refType);
    // Gives the channel reference back; this may be the channel's last.
    ~TDnTcpRequest() override;

    // Base part, called first by every Execute: error cleared, record zeroed, running.
    virtual void Execute();
    virtual bool IsComplete() { return false; }
    virtual void ReExecute() = 0;
    virtual TDnIORequestType RequestType() const = 0;
    // A request with no operation of its own; the executor frees it after its handler.
    virtual bool IsPureSignal() const { return false; }
    virtual void CallHandler(TDnThreadContext* context) = 0;
    virtual void SetTransferred(uint32_t transferred) = 0;

    // Operations issued and not yet dequeued.
    void AddRef() { FRefCount.fetch_add(1, std::memory_order_relaxed); }
    void Release() { FRefCount.fetch_sub(1, std::memory_order_relaxed); }
    int32_t PendingOperations() const { return FRefCount.load(std::memory_order_relaxed); }

    void Cancel() { FContext.FRequest = nullptr; }
    // Records the error and posts this request's completion with `transferred` bytes.
    void PostError(int errorCode, uint32_t transferred);
    // Records the error of a completion the queue reported as failed.
    void CatchError(int errorCode) { FErrorCode = static_cast<uint32_t>(errorCode); }

    TDnTcpChannel* Channel() const { return FChannel; }
    void* Key() const { return FKey; }
    uint32_t ErrorCode() const { return FErrorCode; }
    bool Running() const { return FRunning.load(std::memory_order_relaxed); }
    TDnReqContext* Context() { return &FContext; }
    platform::Overlapped* Overlapped() { return &FContext.FOverlapped; }
    // The request whose record starts at `overlapped` (a completion packet's pointer).
    static TDnTcpRequest* FromOverlapped(void* overlapped) {
        return static_cast<TDnReqContext*>(overlapped)->FRequest;
    }

  protected:
    // AddRef, then post this request's completion (count bytes) to the queue.
    void PostCompletion(uint32_t count, int errorCode = 0);
    // The queue completions of this request go to (the channel's reactor's by default).
    virtual platform::CompletionQueue* CompletionQueueFor();

    TDnTcpChannel* FChannel;
    TDnReqContext FContext;
    void* FKey;
    char* FStartBuffer = nullptr;
    uint32_t FErrorCode = 0;
    std::atomic<int32_t> FRefCount{0};
    // Set when started (a re-issue sets it again without the channel's lock, while a close
    // may read it under the lock on another worker).
    std::atomic<bool> FRunning{false};

  private:
    friend class TDnTcpChannel;
    TDnIORequestType refType_;
    TDnTcpRequest* nextInQueue_ = nullptr;  // the channel's read or write queue
};

}  // namespace tessil
