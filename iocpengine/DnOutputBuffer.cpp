// Per-thread pools of output buffers. Each pool is touched only by its own thread; the
// process-wide byte count is a relaxed atomic for the memory measurement.
#include "iocpengine/DnOutputBuffer.h"

#include <algorithm>
#include <atomic>
#include <utility>

namespace tessil {

namespace {

// A buffer larger than this after a burst is freed rather than pooled.
constexpr size_t kKeepBytes = 64 * 1024;
constexpr size_t kKeepMarks = 1024;
// What one thread's pool may hold. A worker's round of room chat writes to every member
// of the busy rooms (hundreds of connections), so the count allows a round's worth; the
// byte bound is what limits the memory a pool keeps after a burst.
constexpr size_t kPoolBuffers = 512;
constexpr size_t kPoolBytes = 1024 * 1024;
// A new buffer starts with room for a round's worth of chat frames.
constexpr size_t kInitialBytes = 2048;
constexpr size_t kInitialMarks = 32;

std::atomic<uint64_t> pooledBytes{0};

struct TPool {
    std::vector<std::unique_ptr<TDnOutputBuffer>> free;
    size_t bytes = 0;
    ~TPool() { pooledBytes.fetch_sub(bytes, std::memory_order_relaxed); }
};

TPool& Pool() {
    thread_local TPool pool;
    return pool;
}

}  // namespace

std::unique_ptr<TDnOutputBuffer> TDnOutputBuffer::Take() {
    TPool& pool = Pool();
    if (pool.free.empty()) {
        auto b = std::make_unique<TDnOutputBuffer>();
        b->bytes.reserve(kInitialBytes);
        b->marks.reserve(kInitialMarks);
        return b;
    }
    std::unique_ptr<TDnOutputBuffer> b = std::move(pool.free.back());
    pool.free.pop_back();
    const size_t size = b->Capacity();
    pool.bytes -= size;
    pooledBytes.fetch_sub(size, std::memory_order_relaxed);
    return b;
}

void TDnOutputBuffer::Give(std::unique_ptr<TDnOutputBuffer> buffer) {
    if (!buffer) return;
    TPool& pool = Pool();
    const size_t size = buffer->Capacity();
    if (pool.free.size() >= kPoolBuffers || pool.bytes + size > kPoolBytes ||
        buffer->bytes.capacity() > kKeepBytes || buffer->marks.capacity() > kKeepMarks ||
        buffer->shared.capacity() > kKeepMarks)
        return;  // freed with the unique_ptr
    buffer->Clear();
    pool.bytes += size;
    pooledBytes.fetch_add(size, std::memory_order_relaxed);
    pool.free.push_back(std::move(buffer));
}

namespace {

// Room for `more` elements, growing geometrically (reserve alone would grow by exactly
// what is asked and make a burst of appends quadratic).
template <typename C>
void MakeRoom(C& c, size_t more) {
    if (c.capacity() - c.size() >= more) return;
    c.reserve(std::max(c.size() + more, c.capacity() * 2));
}

}  // namespace

// Both appends make room first, so a failed allocation leaves the buffer as it was.
void TDnOutputBuffer::Append(void* key, std::string_view head, std::string_view body) {
    const size_t size = head.size() + body.size();
    MakeRoom(marks, 1);
    MakeRoom(bytes, size);
    bytes.append(head).append(body);
    marks.push_back(TDnOutputMark{Size() + static_cast<uint32_t>(size), 0, key});
}

void TDnOutputBuffer::AppendShared(void* key, std::shared_ptr<const std::string> frame) {
    const auto size = static_cast<uint32_t>(frame->size());
    MakeRoom(marks, 1);
    MakeRoom(shared, 1);
    shared.push_back(std::move(frame));
    marks.push_back(TDnOutputMark{Size() + size, static_cast<uint32_t>(shared.size()), key});
}

int TDnOutputBuffer::Gather(uint32_t from, const iovec** iov) {
    iov_.clear();
    if (shared.empty()) {
        // Only copied frames: the stream is `bytes` itself.
        iov_.push_back(iovec{bytes.data() + from, size_t{Size() - from}});
        *iov = iov_.data();
        return 1;
    }
    // Skip the frames wholly sent since the last call.
    while (cursorMark_ < marks.size() && marks[cursorMark_].end <= from) {
        if (marks[cursorMark_].shared == 0) cursorLocal_ += marks[cursorMark_].end - cursorStart_;
        cursorStart_ = marks[cursorMark_].end;
        ++cursorMark_;
    }
    uint32_t start = cursorStart_;
    size_t local = cursorLocal_;
    for (size_t i = cursorMark_; i < marks.size(); ++i) {
        const TDnOutputMark& m = marks[i];
        const uint32_t skip = start > from ? 0 : from - start;
        const uint32_t size = m.end - start;
        start = m.end;
        char* p;
        if (m.shared != 0) {
            p = const_cast<char*>(shared[m.shared - 1]->data());
        } else {
            p = bytes.data() + local;
            local += size;
        }
        p += skip;
        const size_t n = size - skip;
        if (!iov_.empty() && static_cast<char*>(iov_.back().iov_base) + iov_.back().iov_len == p) {
            iov_.back().iov_len += n;
            continue;
        }
        if (iov_.size() == kMaxIov) break;
        iov_.push_back(iovec{p, n});
    }
    *iov = iov_.data();
    return static_cast<int>(iov_.size());
}

size_t TDnOutputBuffer::Capacity() const {
    return bytes.capacity() + marks.capacity() * sizeof(TDnOutputMark) +
           shared.capacity() * sizeof(shared[0]) + iov_.capacity() * sizeof(iovec);
}

void TDnOutputBuffer::Clear() {
    bytes.clear();
    marks.clear();
    shared.clear();
    iov_.clear();
    cursorMark_ = 0;
    cursorStart_ = 0;
    cursorLocal_ = 0;
}

uint64_t TDnOutputBuffer::PooledBytes() {
    return pooledBytes.load(std::memory_order_relaxed);
}

}  // namespace tessil
