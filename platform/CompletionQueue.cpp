// Completion queue on epoll (edge-triggered socket interest, eventfd wake-ups).
// Called from every engine thread; see the header for the contract.
#include "platform/CompletionQueue.h"

#include "platform/Errors.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>

namespace tessil::platform {

// Per-socket state. Slots are never freed while the queue lives (only recycled), so an
// epoll event that was harvested just before its socket closed still points to valid
// memory; the generation in the event tells that it is stale.
struct SocketSlot {
    std::mutex mu;
    uint32_t index = 0;
    uint32_t gen = 1;
    int fd = -1;
    uintptr_t key = 0;
    bool readable = false;
    bool writable = false;
    // The peer's end of stream (or an error) was signalled: the socket stays readable
    // for good, since no further edge will announce the end still waiting to be read.
    bool hangup = false;
    Overlapped* readOp = nullptr;  // pending Recv or Accept
    IoKind readKind = IoKind::None;
    Overlapped* writeOp = nullptr;
    SocketSlot* nextFree = nullptr;
};

namespace {

constexpr uint64_t kWakeTag = ~uint64_t{0};
constexpr size_t kScratchSize = 16384;
// Events one harvest takes: one round of the worker that harvests them.
constexpr int kMaxEvents = 512;
constexpr int kMaxIov = 64;

struct WorkerState {
    CompletionQueue* queue = nullptr;
    std::deque<Packet> local;
    std::function<void()> roundEnd;
};
thread_local WorkerState tWorker;

char* Scratch() {
    thread_local std::unique_ptr<char[]> buf(new char[kScratchSize]);
    return buf.get();
}

uint64_t EventData(const SocketSlot* s) {
    return (uint64_t{s->index} << 32) | s->gen;
}

// Runs one step of a receive with the slot locked. True when the operation is finished.
bool PerformRecv(SocketSlot& s, Overlapped* ov, Packet& pk) {
    iovec v[kMaxIov + 1];
    int cnt = 0;
    size_t total = 0;
    for (int i = 0; i < ov->iovCount && cnt < kMaxIov; ++i) {
        v[cnt++] = ov->iov[i];
        total += ov->iov[i].iov_len;
    }
    size_t capacity = total;
    if (ov->spill) {
        v[cnt++] = iovec{Scratch(), kScratchSize};
        capacity += kScratchSize;
    }
    ssize_t n;
    do {
        n = readv(s.fd, v, cnt);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            s.readable = false;
            return false;
        }
        pk = Packet{0, s.key, ov, errno};
        return true;
    }
    const size_t got = static_cast<size_t>(n);
    if (got > total) ov->spill->append(Scratch(), got - total);
    if (got != 0 && got < capacity && !s.hangup) s.readable = false;
    pk = Packet{static_cast<uint32_t>(got < total ? got : total), s.key, ov, 0};
    return true;
}

bool PerformSend(SocketSlot& s, Overlapped* ov, Packet& pk) {
    msghdr msg{};
    msg.msg_iov = const_cast<iovec*>(ov->iov);
    msg.msg_iovlen = static_cast<size_t>(ov->iovCount);
    size_t total = 0;
    for (int i = 0; i < ov->iovCount; ++i) total += ov->iov[i].iov_len;
    ssize_t n;
    do {
        n = sendmsg(s.fd, &msg, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            s.writable = false;
            return false;
        }
        pk = Packet{0, s.key, ov, errno};
        return true;
    }
    if (static_cast<size_t>(n) < total) s.writable = false;
    pk = Packet{static_cast<uint32_t>(n), s.key, ov, 0};
    return true;
}

bool PerformAccept(SocketSlot& s, Overlapped* ov, Packet& pk) {
    for (;;) {
        sockaddr_in addr{};
        socklen_t len = sizeof addr;
        int fd =
            accept4(s.fd, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            ov->acceptedFd = fd;
            ov->peer = addr;
            pk = Packet{0, s.key, ov, 0};
            return true;
        }
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            s.readable = false;
            return false;
        }
        // Out of descriptors (or another lasting failure): the connection stays queued and
        // the socket stays readable, so retrying at once would spin. Wait for the next
        // readiness instead; the listener decides how to make room.
        s.readable = false;
        pk = Packet{0, s.key, ov, errno};
        return true;
    }
}

bool Perform(SocketSlot& s, Overlapped* ov, IoKind kind, Packet& pk) {
    switch (kind) {
        case IoKind::Recv:
            return PerformRecv(s, ov, pk);
        case IoKind::Send:
            return PerformSend(s, ov, pk);
        case IoKind::Accept:
            return PerformAccept(s, ov, pk);
        default:
            pk = Packet{0, s.key, ov, EINVAL};
            return true;
    }
}

}  // namespace

CompletionQueue::CompletionQueue() : chunks_(new std::atomic<SocketSlot*>[kMaxChunks]) {
    for (uint32_t i = 0; i < kMaxChunks; ++i) chunks_[i].store(nullptr);
    epfd_ = epoll_create1(EPOLL_CLOEXEC);
    if (epfd_ < 0) throw std::system_error(errno, std::generic_category(), "epoll_create1");
    wakefd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakefd_ < 0) {
        int err = errno;
        close(epfd_);
        throw std::system_error(err, std::generic_category(), "eventfd");
    }
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLET;
    ev.data.u64 = kWakeTag;
    if (epoll_ctl(epfd_, EPOLL_CTL_ADD, wakefd_, &ev) != 0) {
        int err = errno;
        close(wakefd_);
        close(epfd_);
        throw std::system_error(err, std::generic_category(), "epoll_ctl");
    }
}

CompletionQueue::~CompletionQueue() {
    for (uint32_t c = 0; c < chunkCount_; ++c) {
        SocketSlot* chunk = chunks_[c].load();
        for (uint32_t i = 0; i < kChunkSize; ++i)
            if (chunk[i].fd >= 0) close(chunk[i].fd);
        delete[] chunk;
    }
    if (tWorker.queue == this) tWorker = WorkerState{};
    close(wakefd_);
    close(epfd_);
}

SocketSlot* CompletionQueue::SlotAt(uint32_t index) const {
    SocketSlot* chunk = chunks_[index / kChunkSize].load(std::memory_order_acquire);
    return chunk ? &chunk[index % kChunkSize] : nullptr;
}

SocketSlot* CompletionQueue::AllocSlot() {
    std::lock_guard lock(poolMu_);
    if (!freeList_) {
        if (chunkCount_ == kMaxChunks) throw std::system_error(EMFILE, std::generic_category());
        auto* chunk = new SocketSlot[kChunkSize];
        for (uint32_t i = 0; i < kChunkSize; ++i) {
            chunk[i].index = chunkCount_ * kChunkSize + i;
            chunk[i].nextFree = i + 1 < kChunkSize ? &chunk[i + 1] : nullptr;
        }
        chunks_[chunkCount_].store(chunk, std::memory_order_release);
        ++chunkCount_;
        freeList_ = chunk;
    }
    SocketSlot* s = freeList_;
    freeList_ = s->nextFree;
    s->nextFree = nullptr;
    return s;
}

void CompletionQueue::FreeSlot(SocketSlot* s) {
    std::lock_guard lock(poolMu_);
    s->nextFree = freeList_;
    freeList_ = s;
}

SocketHandle CompletionQueue::Associate(int fd, uintptr_t key) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        throw std::system_error(errno, std::generic_category(), "fcntl");
    SocketSlot* s = AllocSlot();
    SocketHandle h;
    {
        std::lock_guard lock(s->mu);
        s->fd = fd;
        s->key = key;
        s->readable = true;
        s->writable = true;
        s->hangup = false;
        s->readOp = s->writeOp = nullptr;
        h = SocketHandle{s, s->gen};
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        ev.data.u64 = EventData(s);
        if (epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
            int err = errno;
            s->fd = -1;
            ++s->gen;
            FreeSlot(s);
            throw std::system_error(err, std::generic_category(), "epoll_ctl");
        }
    }
    openSockets_.fetch_add(1);
    return h;
}

int CompletionQueue::TryAccept(const SocketHandle& h, sockaddr_in* peer, int* err) {
    *err = kErrNotSocket;
    if (!h.slot) return -1;
    SocketSlot& s = *h.slot;
    std::lock_guard lock(s.mu);
    if (s.gen != h.gen || s.fd < 0) return -1;
    for (;;) {
        socklen_t len = sizeof *peer;
        int fd =
            accept4(s.fd, reinterpret_cast<sockaddr*>(peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            *err = 0;
            return fd;
        }
        if (errno == EINTR || errno == ECONNABORTED) continue;
        *err = errno;
        s.readable = false;
        return -1;
    }
}

int CompletionQueue::Fd(const SocketHandle& h) const {
    if (!h.slot) return -1;
    std::lock_guard lock(h.slot->mu);
    return h.slot->gen == h.gen ? h.slot->fd : -1;
}

void CompletionQueue::Recv(const SocketHandle& h, Overlapped* ov) {
    Start(h, ov, IoKind::Recv);
}
void CompletionQueue::Send(const SocketHandle& h, Overlapped* ov) {
    Start(h, ov, IoKind::Send);
}
void CompletionQueue::Accept(const SocketHandle& h, Overlapped* ov) {
    Start(h, ov, IoKind::Accept);
}

void CompletionQueue::Start(const SocketHandle& h, Overlapped* ov, IoKind kind) {
    Packet pk;
    bool done = false;
    if (!h.slot) {
        pk = Packet{0, 0, ov, kErrNotSocket};
        done = true;
    } else {
        SocketSlot& s = *h.slot;
        std::lock_guard lock(s.mu);
        if (s.gen != h.gen || s.fd < 0) {
            pk = Packet{0, 0, ov, kErrNotSocket};
            done = true;
        } else {
            const bool isWrite = kind == IoKind::Send;
            Overlapped*& slotOp = isWrite ? s.writeOp : s.readOp;
            if (slotOp) {
                pk = Packet{0, s.key, ov, EALREADY};
                done = true;
            } else {
                if (isWrite ? s.writable : s.readable) done = Perform(s, ov, kind, pk);
                if (!done) {
                    slotOp = ov;
                    if (!isWrite) s.readKind = kind;
                }
            }
        }
    }
    if (done) Deliver(pk);
}

bool CompletionQueue::Close(const SocketHandle& h) {
    if (!h.slot) return false;
    SocketSlot& s = *h.slot;
    Packet pks[2];
    int np = 0;
    {
        std::lock_guard lock(s.mu);
        if (s.gen != h.gen || s.fd < 0) return false;
        // Discard unread input so that closing sends an orderly end of stream rather
        // than a reset that could destroy data still in flight to the peer.
        for (int i = 0; i < 64; ++i)
            if (recv(s.fd, Scratch(), kScratchSize, MSG_DONTWAIT) <= 0) break;
        shutdown(s.fd, SHUT_WR);
        close(s.fd);
        s.fd = -1;
        ++s.gen;
        if (s.readOp) pks[np++] = Packet{0, s.key, s.readOp, kErrOperationAborted};
        if (s.writeOp) pks[np++] = Packet{0, s.key, s.writeOp, kErrOperationAborted};
        s.readOp = s.writeOp = nullptr;
    }
    FreeSlot(&s);
    openSockets_.fetch_sub(1);
    for (int i = 0; i < np; ++i) Deliver(pks[i]);
    return true;
}

int CompletionQueue::HandleEvent(uint64_t data, uint32_t events, Packet* out) {
    SocketSlot* sp = SlotAt(static_cast<uint32_t>(data >> 32));
    if (!sp) return 0;
    SocketSlot& s = *sp;
    int np = 0;
    std::lock_guard lock(s.mu);
    if (s.gen != static_cast<uint32_t>(data) || s.fd < 0) return 0;
    if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
        s.readable = true;
        if (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) s.hangup = true;
        if (s.readOp && Perform(s, s.readOp, s.readKind, out[np])) {
            ++np;
            s.readOp = nullptr;
        }
    }
    if (events & (EPOLLOUT | EPOLLHUP | EPOLLERR)) {
        s.writable = true;
        if (s.writeOp && Perform(s, s.writeOp, IoKind::Send, out[np])) {
            ++np;
            s.writeOp = nullptr;
        }
    }
    return np;
}

void CompletionQueue::Deliver(const Packet& p) {
    if (tWorker.queue == this)
        tWorker.local.push_back(p);
    else
        PushShared(p);
}

void CompletionQueue::Post(uint32_t count, uintptr_t key, void* pointer, int error) {
    Deliver(Packet{count, key, pointer, error});
}

void CompletionQueue::Wake() {
    uint64_t one = 1;
    ssize_t r = write(wakefd_, &one, sizeof one);
    if (r < 0 && errno == EAGAIN) {
        // The counter is saturated; reset it and signal again.
        uint64_t v;
        if (read(wakefd_, &v, sizeof v) < 0) { /* nothing to do */
        }
        r = write(wakefd_, &one, sizeof one);
    }
    (void)r;
}

void CompletionQueue::PushShared(const Packet& p) {
    bool wakePoller = false;
    {
        std::lock_guard lock(mu_);
        shared_.push_back(p);
        // The poller is the thread that worked last (the warmest); followers come next.
        if (polling_)
            wakePoller = true;
        else if (idleFollowers_ > 0)
            cv_.notify_one();
    }
    if (wakePoller) Wake();
}

bool CompletionQueue::PopSharedLocked(Packet& out) {
    if (shared_.empty()) return false;
    out = shared_.front();
    shared_.pop_front();
    if (!shared_.empty() && idleFollowers_ > 0) cv_.notify_one();
    return true;
}

bool CompletionQueue::Get(Packet& out, uint32_t timeoutMs) {
    const bool bound = tWorker.queue == this;
    if (bound) {
        if (tWorker.local.empty() && tWorker.roundEnd) tWorker.roundEnd();
        if (!tWorker.local.empty()) {
            out = tWorker.local.front();
            tWorker.local.pop_front();
            return true;
        }
    }
    using Clock = std::chrono::steady_clock;
    const bool infinite = timeoutMs == 0xFFFFFFFFu;
    const auto deadline = Clock::now() + std::chrono::milliseconds(infinite ? 0 : timeoutMs);
    // How long an idle follower waits before checking that someone is polling.
    constexpr auto kFollowerCheck = std::chrono::milliseconds(20);
    std::unique_lock lock(mu_);
    for (;;) {
        if (PopSharedLocked(out)) return true;
        const auto now = Clock::now();
        if (!infinite && now >= deadline && timeoutMs != 0) return false;
        if (polling_) {
            // Someone waits for readiness: wait for shared work or for the poller's place.
            auto until = now + kFollowerCheck;
            if (!infinite && deadline < until) until = deadline;
            ++idleFollowers_;
            cv_.wait_until(lock, until);
            --idleFollowers_;
            if (timeoutMs == 0) return PopSharedLocked(out);
            continue;
        }
        polling_ = true;
        lock.unlock();
        int waitMs = -1;
        if (!infinite) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
            waitMs = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        epoll_event evs[kMaxEvents];
        int n = epoll_wait(epfd_, evs, kMaxEvents, waitMs);
        const int err = errno;
        Packet got[kMaxEvents * 2];
        int np = 0;
        for (int i = 0; i < n; ++i) {
            if (evs[i].data.u64 == kWakeTag) continue;
            np += HandleEvent(evs[i].data.u64, evs[i].events, got + np);
        }
        lock.lock();
        polling_ = false;
        if (np > 0) {
            out = got[0];
            if (bound) {
                // The harvest is this worker's round; an idle worker takes the poller's
                // place (and any shared work) meanwhile.
                for (int i = 1; i < np; ++i) tWorker.local.push_back(got[i]);
                if (idleFollowers_ > 0) cv_.notify_one();
            } else {
                for (int i = 1; i < np; ++i) shared_.push_back(got[i]);
                if (!shared_.empty() && idleFollowers_ > 0) cv_.notify_one();
            }
            return true;
        }
        if (PopSharedLocked(out)) return true;
        if (n == 0 || (n < 0 && err != EINTR)) return false;  // timed out or failed
    }
}

void CompletionQueue::BindWorker(std::function<void()> roundEnd) {
    tWorker.queue = this;
    tWorker.roundEnd = std::move(roundEnd);
}

void CompletionQueue::UnbindWorker() {
    if (tWorker.queue != this) return;
    if (tWorker.roundEnd) tWorker.roundEnd();
    tWorker.roundEnd = nullptr;
    tWorker.queue = nullptr;
    while (!tWorker.local.empty()) {
        PushShared(tWorker.local.front());
        tWorker.local.pop_front();
    }
}

}  // namespace tessil::platform
