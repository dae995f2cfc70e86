// The bytes a channel's output write carries: the frames appended to the channel during a
// round and one mark per frame (where it ends, its key). A frame is either copied into the
// buffer or, when it is a large frame built once for many connections (a room's notice),
// referenced: the buffer keeps a reference to it and the send gathers it in place, so a
// fan-out writes a mark per member instead of a copy of the frame. Buffers are recycled
// through a small pool per thread, so a busy connection allocates nothing per round and an
// idle one holds no buffer at all. Owned by one write request at a time; any thread.
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tessil {

struct TDnOutputMark {
    uint32_t end;     // offset in the write's byte stream just past the frame's last byte
    uint32_t shared;  // 0: the frame's bytes are in `bytes`; n: the frame is shared[n - 1]
    void* key;        // the key its completion reports
};

struct TDnOutputBuffer {
    std::string bytes;  // the copied frames, back to back
    std::vector<TDnOutputMark> marks;
    std::vector<std::shared_ptr<const std::string>> shared;  // the referenced frames

    // Copies one frame (head then body).
    void Append(void* key, std::string_view head, std::string_view body);
    // References one frame, which must not change while the buffer holds it.
    void AppendShared(void* key, std::shared_ptr<const std::string> frame);
    // Bytes of the stream: the copied and the referenced frames in order.
    uint32_t Size() const { return marks.empty() ? 0 : marks.back().end; }
    // The stream from offset `from` to its end as at most kMaxIov pieces for one send
    // (the rest follows in the next); adjacent copied frames form one piece. `from` never
    // goes back between calls. The pieces stay valid until the next call or change.
    int Gather(uint32_t from, const iovec** iov);
    // Calls fn(key, frame bytes) for every frame, in order.
    template <typename Fn>
    void ForEachFrame(Fn&& fn) const {
        uint32_t start = 0;
        size_t local = 0;
        for (const TDnOutputMark& m : marks) {
            const uint32_t size = m.end - start;
            start = m.end;
            if (m.shared != 0) {
                fn(m.key, std::string_view(*shared[m.shared - 1]));
            } else {
                fn(m.key, std::string_view(bytes.data() + local, size));
                local += size;
            }
        }
    }

    // An empty buffer: from the calling thread's pool when it has one, else a new one.
    static std::unique_ptr<TDnOutputBuffer> Take();
    // Empties the buffer (dropping its references) and keeps it in the calling thread's
    // pool; a buffer that grew past the kept capacity during a burst (or a full pool)
    // frees its memory instead.
    static void Give(std::unique_ptr<TDnOutputBuffer> buffer);
    // Bytes of capacity the pools of all threads hold right now.
    static uint64_t PooledBytes();
    // Bytes of capacity this buffer holds (its referenced frames not counted).
    size_t Capacity() const;

    // Pieces of one send, below the system's limit per call.
    static constexpr size_t kMaxIov = 512;

  private:
    void Clear();

    std::vector<iovec> iov_;
    // Where Gather last started: the first frame not wholly sent and, for the copied
    // frames before it, how many of `bytes` they take.
    size_t cursorMark_ = 0;
    uint32_t cursorStart_ = 0;  // stream offset of that frame
    size_t cursorLocal_ = 0;    // its offset in `bytes` when it is copied
};

}  // namespace tessil
