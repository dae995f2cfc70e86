// Channel: reference counting, request queues, close, cache, time-out handling.
// Any thread; see the header for the contract.
#include "iocpengine/DnTcpChannel.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "iocpengine/DnException.h"
#include "iocpengine/DnExecutor.h"
#include "iocpengine/DnFlushList.h"
#include "iocpengine/DnTcpReactor.h"
#include "iocpengine/DnTcpRequests.h"

namespace tessil {

namespace {
// Writes gathered into one send (the iovec array is kept while the channel has writes).
constexpr int kMaxGather = 64;
constexpr size_t kCacheKeepCapacity = 512;
}  // namespace

TDnTcpChannel::TDnTcpChannel(TDnTcpReactor* reactor, int socket, const sockaddr_in& remoteAddr)
    : reactor_(reactor), fd_(socket), remoteAddr_(remoteAddr) {}

TDnTcpChannel::TDnTcpChannel(TDnTcpReactor* reactor) : reactor_(reactor) {}

TDnTcpChannel::~TDnTcpChannel() {
    // Let a thread that is still inside the lock leave it first.
    guard_.lock();
    guard_.unlock();
    CloseSocketHandle();
}

void TDnTcpChannel::AddRef(TDnIORequestType, const char*) {
    std::lock_guard lock(guard_);
    ++refCount_;
}

void TDnTcpChannel::Release(TDnIORequestType, const char*) {
    std::lock_guard lock(guard_);
    --refCount_;
    if (refCount_ <= 0 && !deletePosted_) {
        deletePosted_ = true;
        if (queue_)
            queue_->Post(kPacketDeleteSignal, 0, this);
        else if (reactor_)
            reactor_->PostDeleteSignal(this);
    }
}

bool TDnTcpChannel::IsFinished() {
    std::lock_guard lock(guard_);
    return refCount_ == 0;
}

int32_t TDnTcpChannel::RefCount() {
    std::lock_guard lock(guard_);
    return refCount_;
}

bool TDnTcpChannel::DeletePosted() {
    std::lock_guard lock(guard_);
    return deletePosted_;
}

bool TDnTcpChannel::IsClosing() {
    std::lock_guard lock(guard_);
    return closingRequest_ != nullptr;
}

void TDnTcpChannel::RunRequest(TDnTcpRequest* request) {
    std::lock_guard lock(guard_);
    if (IsClosed() || closingRequest_) {
        delete request;
        return;
    }
    switch (request->RequestType()) {
        case rtRead:
            Link(readHead_, readTail_, request);
            if (readHead_ == request) request->Execute();
            break;
        case rtWrite:
            QueueWriteLocked(request);
            break;
        case rtClose:
            closingRequest_ = request;
            if (!readHead_ && !writeHead_) {
                closing_ = true;
                request->Execute();
                DeleteNonActiveRequests();
            }
            break;
        case rtBrutalClose:
            closingRequest_ = request;
            closing_ = true;
            // What this round queued gets one send attempt (it never waits): a reply
            // followed by a close still reaches the peer.
            if (writeHead_ && !writeHead_->Running()) {
                try {
                    writeHead_->Execute();
                } catch (...) {
                }
            }
            request->Execute();
            break;
        default:
            // Not a request a channel runs; it stays with the caller.
            throw EDnException(ErrInvalidParameter, request->RequestType());
    }
}

void TDnTcpChannel::QueueWriteLocked(TDnTcpRequest* request) {
    Link(writeHead_, writeTail_, request);
    if (writeHead_ == request) ScheduleFlushLocked();
}

bool TDnTcpChannel::AppendOutput(IDnTcpWriteHandler* handler, void* key, std::string_view head,
                                 std::string_view body) {
    return AppendOutputWith(handler, head.size() + body.size(),
                            [&](TDnTcpWriteRequest* out) { out->AppendFrame(key, head, body); });
}

bool TDnTcpChannel::AppendOutputShared(IDnTcpWriteHandler* handler, void* key,
                                       const std::shared_ptr<const std::string>& frame) {
    return AppendOutputWith(handler, frame->size(),
                            [&](TDnTcpWriteRequest* out) { out->AppendShared(key, frame); });
}

template <typename Add>
bool TDnTcpChannel::AppendOutputWith(IDnTcpWriteHandler* handler, size_t bytes, Add&& add) {
    // One output write carries at most this much; a larger backlog continues in the next.
    constexpr size_t kMaxOutputWrite = 64u * 1024 * 1024;
    std::lock_guard lock(guard_);
    if (IsClosed() || closingRequest_) return false;
    TDnTcpWriteRequest* out = openOutput_;
    if (out != nullptr && out->FHandler == handler &&
        size_t{out->size_} + bytes <= kMaxOutputWrite) {
        add(out);
        return true;
    }
    std::unique_ptr<TDnTcpWriteRequest> fresh(TDnTcpWriteRequest::CreateOutput(this, handler));
    add(fresh.get());
    openOutput_ = fresh.get();
    QueueWriteLocked(fresh.release());
    return true;
}

void TDnTcpChannel::ExecuteNext(TDnTcpRequest* request) {
    const TDnIORequestType type = request->RequestType();
    if (type != rtWrite) {
        std::lock_guard lock(guard_);
        DeleteRequest(request);
        StartNextLocked(type);
        return;
    }
    {
        std::lock_guard lock(guard_);
        // The completed write and the writes its send carried along join the channel's
        // completed list in send order.
        Unlink(writeHead_, writeTail_, request);
        AppendCompletedLocked(request);
        for (TDnTcpRequest* w; (w = FinishedWriteHead()) != nullptr;) {
            Unlink(writeHead_, writeTail_, w);
            AppendCompletedLocked(w);
        }
        // What follows starts under this same hold of the lock: once it is released,
        // another thread may flush a new first write, which must not be started twice.
        StartNextLocked(rtWrite);
        // The gather array serves a burst's consecutive sends; an idle channel keeps none.
        if (writeHead_ == nullptr) gatherIov_.reset();
        // The next send may complete on another worker while these handlers run: one
        // thread at a time dispatches, so handlers run in send order. Another worker
        // finding a dispatcher leaves its completions to it.
        if (dispatchingWrites_) return;
        dispatchingWrites_ = true;
        ++refCount_;  // the channel outlives the handler calls below
    }
    // The handlers run without the channel's lock (they may send to other channels).
    TDnAbstractExecutor* executor = reactor_ ? reactor_->Executor() : nullptr;
    for (;;) {
        TDnTcpRequest* batch;
        {
            std::lock_guard lock(guard_);
            batch = completedHead_;
            completedHead_ = completedTail_ = nullptr;
            if (batch == nullptr) {
                dispatchingWrites_ = false;
                break;
            }
        }
        while (batch != nullptr) {
            TDnTcpRequest* next = batch->nextInQueue_;
            try {
                if (executor) executor->PostEvent(batch);
            } catch (...) {
            }
            delete batch;
            batch = next;
        }
    }
    Release(rtWrite);
}

void TDnTcpChannel::AppendCompletedLocked(TDnTcpRequest* request) {
    if (request == openOutput_) openOutput_ = nullptr;
    Link(completedHead_, completedTail_, request);
}

TDnTcpRequest* TDnTcpChannel::FinishedWriteHead() const {
    auto* w = static_cast<TDnTcpWriteRequest*>(writeHead_);
    if (w == nullptr || !w->gathered_ || w->Remaining() != 0 || w->FErrorCode != 0) return nullptr;
    return w;
}

void TDnTcpChannel::StartNextLocked(TDnIORequestType type) {
    if (closingRequest_ && !closing_) {
        closing_ = true;
        closingRequest_->Execute();
        DeleteNonActiveRequests();
        // Writes already handed to the socket in a gathered send still complete.
        if (type == rtWrite && writeHead_ && writeHead_->Running()) writeHead_->Execute();
        return;
    }
    TDnTcpRequest* next = type == rtRead ? readHead_ : type == rtWrite ? writeHead_ : nullptr;
    if (!next) return;
    if (next->Running()) {
        next->Execute();  // the rest of a write that an earlier send carried in part
    } else if (!closingRequest_) {
        if (type == rtWrite)
            ScheduleFlushLocked();
        else
            next->Execute();
    }
}

void TDnTcpChannel::ScheduleFlushLocked() {
    if (flushQueued_) return;
    ++refCount_;  // the flush list's reference, given back by FlushWrites
    flushQueued_ = true;
    if (flushlist::Defer(this)) return;
    if (queue_) {
        queue_->Post(kPacketFlushSignal, 0, this);
        return;
    }
    // No queue to flush through: start the write now, as an unbatched channel would.
    flushQueued_ = false;
    --refCount_;
    writeHead_->Execute();
}

void TDnTcpChannel::FlushWrites() {
    TDnTcpWriteRequest* send = nullptr;
    {
        std::lock_guard lock(guard_);
        flushQueued_ = false;
        // A graceful close waiting for the queue still lets these writes go first.
        if (!IsClosed() && !closing_ && writeHead_ && !writeHead_->Running()) {
            auto* head = static_cast<TDnTcpWriteRequest*>(writeHead_);
            if (head->Prepare()) send = head;
        }
    }
    // The send runs without the channel's lock, so a thread queueing to this channel
    // (a room broadcast holding the lobby's lock) never waits for a system call. A close
    // meanwhile makes the send complete with an error.
    if (send != nullptr) {
        try {
            send->Issue();
        } catch (...) {
            // No queue any more (switching off): the write is dropped with the channel.
        }
    }
    Release(rtWrite);
}

void TDnTcpChannel::Link(TDnTcpRequest*& head, TDnTcpRequest*& tail, TDnTcpRequest* r) {
    r->nextInQueue_ = nullptr;
    if (tail)
        tail->nextInQueue_ = r;
    else
        head = r;
    tail = r;
}

void TDnTcpChannel::Unlink(TDnTcpRequest*& head, TDnTcpRequest*& tail, TDnTcpRequest* r) {
    TDnTcpRequest* prev = nullptr;
    for (TDnTcpRequest* it = head; it; prev = it, it = it->nextInQueue_) {
        if (it != r) continue;
        if (prev)
            prev->nextInQueue_ = it->nextInQueue_;
        else
            head = it->nextInQueue_;
        if (tail == it) tail = prev;
        it->nextInQueue_ = nullptr;
        return;
    }
}

void TDnTcpChannel::DeleteRequest(TDnTcpRequest* request) {
    std::lock_guard lock(guard_);
    if (closingRequest_ == request)
        closingRequest_ = nullptr;
    else if (request->RequestType() == rtRead)
        Unlink(readHead_, readTail_, request);
    else if (request->RequestType() == rtWrite)
        Unlink(writeHead_, writeTail_, request);
    if (request == openOutput_) openOutput_ = nullptr;
    delete request;
}

void TDnTcpChannel::DeleteNonActiveRequests() {
    std::lock_guard lock(guard_);
    for (TDnTcpRequest** head : {&readHead_, &writeHead_}) {
        TDnTcpRequest** tail = head == &readHead_ ? &readTail_ : &writeTail_;
        TDnTcpRequest* keep = nullptr;
        TDnTcpRequest* keepTail = nullptr;
        TDnTcpRequest* it = *head;
        while (it) {
            TDnTcpRequest* next = it->nextInQueue_;
            if (it->Running()) {
                Link(keep, keepTail, it);
            } else {
                if (it == openOutput_) openOutput_ = nullptr;
                delete it;
            }
            it = next;
        }
        *head = keep;
        *tail = keepTail;
    }
}

int TDnTcpChannel::GatherWrites(TDnTcpWriteRequest* head, const iovec** iov) {
    int count = 1;
    for (TDnTcpRequest* it = head->nextInQueue_; it && count < kMaxGather; it = it->nextInQueue_) {
        auto* w = static_cast<TDnTcpWriteRequest*>(it);
        if (!w->Gatherable()) break;
        if (!gatherIov_) gatherIov_.reset(new iovec[kMaxGather]);
        if (count == 1) gatherIov_[0] = head->FWSABuf;
        w->FRunning.store(true, std::memory_order_relaxed);
        w->gathered_ = true;
        gatherIov_[count++] = iovec{const_cast<char*>(w->data_) + w->sent_, w->Remaining()};
    }
    head->followers_ = static_cast<uint16_t>(count - 1);
    if (count > 1) *iov = gatherIov_.get();
    return count;
}

void TDnTcpChannel::DistributeGathered(TDnTcpWriteRequest* head, uint32_t bytes) {
    int left = head->followers_;
    for (TDnTcpRequest* it = head->nextInQueue_; it && left > 0 && bytes > 0;
         it = it->nextInQueue_, --left) {
        auto* w = static_cast<TDnTcpWriteRequest*>(it);
        bytes = w->Consume(bytes);
        w->FWritten = w->sent_;
    }
}

void TDnTcpChannel::CloseSocketHandle() {
    std::lock_guard lock(guard_);
    const int fd = fd_.load();
    if (fd < 0) return;
    if (queue_ && io_.Valid()) {
        queue_->Close(io_);
    } else {
        shutdown(fd, SHUT_WR);
        close(fd);
    }
    fd_.store(-1, std::memory_order_release);
}

void TDnTcpChannel::SetNagle(bool value) {
    int v = value ? -1 : 0;
    int fd = fd_.load();
    if (fd >= 0) (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &v, sizeof v);
}

std::string TDnTcpChannel::RemoteAddr() const {
    char buf[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &remoteAddr_.sin_addr, buf, sizeof buf);
    return buf;
}

void TDnTcpChannel::AttachToQueue(std::shared_ptr<platform::CompletionQueue> queue) {
    std::lock_guard lock(guard_);
    if (queue_ || fd_.load() < 0) return;
    io_ = queue->Associate(fd_.load(), reinterpret_cast<uintptr_t>(this));
    queue_ = std::move(queue);
}

void TDnTcpChannel::SetTimeOut(uint32_t value) {
    std::lock_guard lock(guard_);
    if (timeOut_.load() != 0) throw EDnException(ErrCannotSetTimeOutTwice, 0);
    timeOut_.store(value);
}

void TDnTcpChannel::NoteReadActivity(uint32_t tact) {
    const uint32_t timeout = timeOut_.load(std::memory_order_relaxed);
    if (timeout == 0) return;
    timeoutTact_.store(tact + timeout, std::memory_order_relaxed);
    lastIoTact_.store(tact, std::memory_order_relaxed);
    if (timeoutReported_.load(std::memory_order_relaxed))
        timeoutReported_.store(false, std::memory_order_relaxed);
}

void TDnTcpChannel::NotePartialRead(bool partial) {
    if (!partial) {
        if (partialSince_.load(std::memory_order_relaxed) != 0)
            partialSince_.store(0, std::memory_order_relaxed);
        return;
    }
    if (partialSince_.load(std::memory_order_relaxed) != 0) return;
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    partialSince_.store(std::chrono::duration_cast<std::chrono::milliseconds>(now).count() + 1,
                        std::memory_order_relaxed);
}

void TDnTcpChannel::HandleTimeoutMsg(TDnAbstractExecutor* executor) {
    TDnTimerEngine* timer = reactor_ ? reactor_->Timer() : nullptr;
    const uint32_t timeout = TimeOut();
    if (!timer || timeout == 0) return;
    const uint32_t idle = timer->TactNow() - LastIOTact();
    if (idle >= timeout && !timeoutReported_.exchange(true) && executor)
        executor->PostEvent(new TDnTcpTimeoutRequest(this));
    // Keep watching: until the end of the current idle period when the channel was
    // active, one full time-out otherwise.
    const uint32_t next = idle < timeout ? timeout - idle : timeout;
    std::lock_guard lock(guard_);
    if (!IsClosed() && !closingRequest_) reactor_->RearmTimeout(this, next);
}

uint32_t TDnTcpChannel::Add2Cache(const char* block, uint32_t blockSize) {
    if (blockSize == 0) return 0;
    cache_.append(block, blockSize);
    return CacheSize();
}

void TDnTcpChannel::InsertToCache(const char* block, uint32_t blockSize) {
    if (!block || blockSize == 0) return;
    if (cacheHead_ >= blockSize) {
        cacheHead_ -= blockSize;
        std::memcpy(cache_.data() + cacheHead_, block, blockSize);
    } else {
        cache_.erase(0, cacheHead_);
        cacheHead_ = 0;
        cache_.insert(0, block, blockSize);
    }
}

uint32_t TDnTcpChannel::ExtractFromCache(char* block, uint32_t blockSize) {
    const uint32_t n = std::min(blockSize, CacheSize());
    if (n > 0) {
        std::memcpy(block, cache_.data() + cacheHead_, n);
        cacheHead_ += n;
    }
    if (cacheHead_ == cache_.size()) CompactCache();
    return n;
}

void TDnTcpChannel::CompactCache() {
    cacheHead_ = 0;
    if (cache_.capacity() > kCacheKeepCapacity)
        std::string().swap(cache_);
    else
        cache_.clear();
}

std::string* TDnTcpChannel::ReadAheadTarget() {
    if (!CacheHasData()) {
        cacheHead_ = 0;
        cache_.clear();
    }
    return &cache_;
}

TDnDataQueue& TDnTcpChannel::Outgoing() {
    std::lock_guard lock(guard_);
    if (!outgoing_) outgoing_ = std::make_unique<TDnDataQueue>(8192, 8192);
    return *outgoing_;
}

size_t TDnTcpChannel::HeapBytes() {
    std::lock_guard lock(guard_);
    size_t n = 0;
    if (cache_.capacity() > 15) n += cache_.capacity() + 1;
    if (gatherIov_) n += sizeof(iovec) * kMaxGather;
    if (outgoing_) n += sizeof(TDnDataQueue) + static_cast<size_t>(outgoing_->Capacity());
    if (openOutput_) n += openOutput_->out_->Capacity();
    return n;
}

void TDnTcpTimeoutRequest::CallHandler(TDnThreadContext* context) {
    if (FChannel && FChannel->Reactor()) FChannel->Reactor()->DoTimeoutError(context, FChannel);
}

}  // namespace tessil
