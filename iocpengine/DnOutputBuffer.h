// The bytes a channel's output write carries: the frames appended to the channel during a
// round and one mark per frame (where it ends, its key). Buffers are recycled through a
// small pool per thread, so a busy connection allocates nothing per round and an idle one
// holds no buffer at all. Owned by one write request at a time; any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tessil {

struct TDnOutputMark {
    uint32_t end;  // offset just past the frame's last byte
    void* key;     // the key its completion reports
};

struct TDnOutputBuffer {
    std::string bytes;
    std::vector<TDnOutputMark> marks;

    // An empty buffer: from the calling thread's pool when it has one, else a new one.
    static std::unique_ptr<TDnOutputBuffer> Take();
    // Empties the buffer and keeps it in the calling thread's pool; a buffer that grew
    // past the kept capacity during a burst (or a full pool) frees its memory instead.
    static void Give(std::unique_ptr<TDnOutputBuffer> buffer);
    // Bytes of capacity the pools of all threads hold right now.
    static uint64_t PooledBytes();
};

}  // namespace tessil
