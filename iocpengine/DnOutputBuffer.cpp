// Per-thread pools of output buffers. Each pool is touched only by its own thread; the
// process-wide byte count is a relaxed atomic for the memory measurement.
#include "iocpengine/DnOutputBuffer.h"

#include <atomic>

namespace tessil {

namespace {

// A buffer larger than this after a burst is freed rather than pooled.
constexpr size_t kKeepBytes = 16 * 1024;
constexpr size_t kKeepMarks = 256;
// Buffers one thread keeps (a worker flushes many connections per round).
constexpr size_t kPoolSize = 64;

std::atomic<uint64_t> pooledBytes{0};

size_t Footprint(const TDnOutputBuffer& b) {
    return b.bytes.capacity() + b.marks.capacity() * sizeof(TDnOutputMark);
}

struct TPool {
    std::vector<std::unique_ptr<TDnOutputBuffer>> free;
    ~TPool() {
        for (const auto& b : free) pooledBytes.fetch_sub(Footprint(*b), std::memory_order_relaxed);
    }
};

TPool& Pool() {
    thread_local TPool pool;
    return pool;
}

}  // namespace

std::unique_ptr<TDnOutputBuffer> TDnOutputBuffer::Take() {
    TPool& pool = Pool();
    if (pool.free.empty()) return std::make_unique<TDnOutputBuffer>();
    std::unique_ptr<TDnOutputBuffer> b = std::move(pool.free.back());
    pool.free.pop_back();
    pooledBytes.fetch_sub(Footprint(*b), std::memory_order_relaxed);
    return b;
}

void TDnOutputBuffer::Give(std::unique_ptr<TDnOutputBuffer> buffer) {
    if (!buffer) return;
    TPool& pool = Pool();
    if (pool.free.size() >= kPoolSize || buffer->bytes.capacity() > kKeepBytes ||
        buffer->marks.capacity() > kKeepMarks)
        return;  // freed with the unique_ptr
    buffer->bytes.clear();
    buffer->marks.clear();
    pooledBytes.fetch_add(Footprint(*buffer), std::memory_order_relaxed);
    pool.free.push_back(std::move(buffer));
}

uint64_t TDnOutputBuffer::PooledBytes() {
    return pooledBytes.load(std::memory_order_relaxed);
}

}  // namespace tessil
