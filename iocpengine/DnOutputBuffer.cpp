// Per-thread pools of output buffers. Each pool is touched only by its own thread; the
// process-wide byte count is a relaxed atomic for the memory measurement.
#include "iocpengine/DnOutputBuffer.h"

#include <atomic>

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

size_t Footprint(const TDnOutputBuffer& b) {
    return b.bytes.capacity() + b.marks.capacity() * sizeof(TDnOutputMark);
}

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
    const size_t size = Footprint(*b);
    pool.bytes -= size;
    pooledBytes.fetch_sub(size, std::memory_order_relaxed);
    return b;
}

void TDnOutputBuffer::Give(std::unique_ptr<TDnOutputBuffer> buffer) {
    if (!buffer) return;
    TPool& pool = Pool();
    const size_t size = Footprint(*buffer);
    if (pool.free.size() >= kPoolBuffers || pool.bytes + size > kPoolBytes ||
        buffer->bytes.capacity() > kKeepBytes || buffer->marks.capacity() > kKeepMarks)
        return;  // freed with the unique_ptr
    buffer->bytes.clear();
    buffer->marks.clear();
    pool.bytes += size;
    pooledBytes.fetch_add(size, std::memory_order_relaxed);
    pool.free.push_back(std::move(buffer));
}

uint64_t TDnOutputBuffer::PooledBytes() {
    return pooledBytes.load(std::memory_order_relaxed);
}

}  // namespace tessil
