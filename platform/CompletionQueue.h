// Completion queue on epoll: a queue of (count, key, pointer) packets that several worker
// threads wait on with a time-out, filled by overlapped receive, send and accept on
// associated sockets and by posts from any thread. Owned through a shared_ptr by the
// engine's reactor and by every socket handle's owner; all members are thread-safe.
//
// Contract:
// - Associate(fd, key) takes over a socket: it becomes non-blocking and is watched
//   (edge-triggered) for the rest of its life. The handle stays usable after Close
//   (operations then complete with kErrNotSocket), so a late call never touches another
//   connection's socket.
// - Recv, Send and Accept never block. Each operation completes exactly once with one
//   packet (transferred bytes, the socket's key, the Overlapped pointer, error). An
//   operation that can be done at once is done at once; otherwise it runs when the socket
//   becomes ready, on the worker thread that sees the readiness, and that thread receives
//   the packet from its own Get (no hand-off to another thread).
// - At most one receive-or-accept and one send may be pending per socket; a second one
//   completes at once with EALREADY.
// - Close(handle) closes the socket once: unread input is discarded and the sending side
//   shut down first (so the peer sees an orderly end of stream), then pending operations
//   complete with kErrOperationAborted.
// - Packets produced on a bound worker thread (BindWorker) go to that thread's own list
//   and are returned by its next Get before anything else; packets produced elsewhere go
//   to the shared list, which wakes an idle worker (or the poller, through an eventfd).
// - One idle worker at a time waits for readiness (the poller); the others wait on a
//   condition variable. The poller keeps what it harvests in its own list, so that one
//   harvest is one round of that worker, and hands the poller's place to an idle worker
//   at once. While the poller is busy, an idle worker takes the poller's place within
//   20 ms, so a long handler never stalls the other connections.
// - A round of a bound worker ends when its own list is empty: Get then calls the round-end
//   function given to BindWorker (the worker's flush of queued writes) before it takes
//   shared work or waits; what that produces starts the next round.
#pragma once

#include <netinet/in.h>
#include <sys/uio.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace tessil::platform {

enum class IoKind : uint8_t { None, Recv, Send, Accept };

// One overlapped operation, embedded in the object that issues it. It must stay valid and
// untouched until its completion packet has been taken from the queue.
struct Overlapped {
    // Recv: the buffers to fill; Send: the buffers to send. The iovec array itself must
    // stay valid while the operation is pending.
    const iovec* iov = nullptr;
    int iovCount = 0;
    // Recv only: when set, bytes that arrive beyond the buffers are read ahead and
    // appended to this string (owned by the issuer, touched only while the operation
    // runs).
    std::string* spill = nullptr;
    // Accept results: the new connection (non-blocking, close-on-exec) and its peer.
    int acceptedFd = -1;
    sockaddr_in peer{};
};

struct Packet {
    uint32_t count = 0;
    uintptr_t key = 0;
    void* pointer = nullptr;
    int error = 0;  // 0: success; otherwise the errno of the failed operation
};

struct SocketSlot;

struct SocketHandle {
    SocketSlot* slot = nullptr;
    uint32_t gen = 0;
    bool Valid() const { return slot != nullptr; }
};

class CompletionQueue {
  public:
    // Throws std::system_error when epoll or the eventfd cannot be made.
    CompletionQueue();
    ~CompletionQueue();
    CompletionQueue(const CompletionQueue&) = delete;
    CompletionQueue& operator=(const CompletionQueue&) = delete;

    // Takes over fd (the caller keeps it only when this throws std::system_error).
    SocketHandle Associate(int fd, uintptr_t key);
    void Recv(const SocketHandle& h, Overlapped* ov);
    void Send(const SocketHandle& h, Overlapped* ov);
    void Accept(const SocketHandle& h, Overlapped* ov);
    // False when the handle was already closed.
    bool Close(const SocketHandle& h);
    // The descriptor while open, else -1 (for socket options).
    int Fd(const SocketHandle& h) const;

    void Post(uint32_t count, uintptr_t key, void* pointer, int error = 0);
    // Waits up to timeoutMs (0xFFFFFFFF: no limit) for a packet; false on time-out.
    bool Get(Packet& out, uint32_t timeoutMs);

    // Marks the calling thread as a worker of this queue (see the contract above), with the
    // function Get calls at the end of each of its rounds (may be empty).
    void BindWorker(std::function<void()> roundEnd = {});
    // Moves what is left in the thread's own list to the shared list.
    void UnbindWorker();

    int OpenSockets() const { return openSockets_.load(); }

    // One accept on the listening socket now, without waiting: the new descriptor (and its
    // peer), or -1 with err set (EAGAIN when the accept queue is empty: the socket then
    // waits for its next readiness like a pending Accept would).
    int TryAccept(const SocketHandle& h, sockaddr_in* peer, int* err);

  private:
    void Start(const SocketHandle& h, Overlapped* ov, IoKind kind);
    void Deliver(const Packet& p);
    void PushShared(const Packet& p);
    // With mu_ held: pops one shared packet (and wakes a follower for the rest).
    bool PopSharedLocked(Packet& out);
    void Wake();
    int HandleEvent(uint64_t data, uint32_t events, Packet* out);
    SocketSlot* AllocSlot();
    void FreeSlot(SocketSlot* s);
    SocketSlot* SlotAt(uint32_t index) const;

    int epfd_ = -1;
    int wakefd_ = -1;
    // Leader and followers: at most one thread waits in epoll_wait (the poller); other
    // idle threads wait on cv_. A readiness event therefore never wakes a second thread
    // while the one that just handled the previous event is about to come back for it.
    std::mutex mu_;  // guards everything below
    std::condition_variable cv_;
    std::deque<Packet> shared_;
    bool polling_ = false;
    int idleFollowers_ = 0;
    std::atomic<int> openSockets_{0};

    static constexpr uint32_t kChunkSize = 256;
    static constexpr uint32_t kMaxChunks = 8192;
    mutable std::mutex poolMu_;
    std::unique_ptr<std::atomic<SocketSlot*>[]> chunks_;
    uint32_t chunkCount_ = 0;
    SocketSlot* freeList_ = nullptr;
};

}  // namespace tessil::platform
