// Frames of the lobby protocol as the client library sees them, and the incremental parser
// that cuts received bytes into frames. Public header: needs nothing but the standard
// library. A reader is owned by one connection and used by one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tessil {

// Frame kinds (the header's second field).
enum class FrameKind : uint16_t {
    Data = 0,            // a request, reply or event
    Handshake = 1,       // the client's identity; the server's verdict
    ClientList = 2,      // ask for the client list; a chunk of it, more follow
    Heartbeat = 3,       // a heartbeat and its echo
    ClientListLast = 4,  // the last chunk of the client list
};

inline constexpr size_t kFrameHeaderSize = 6;
// The largest body the server accepts; the reader refuses larger announcements too.
inline constexpr uint32_t kMaxFrameBody = 134217728;

// A whole frame as bytes: the 6-byte header (body length and kind, little-endian) and body.
std::string EncodeFrame(FrameKind kind, std::string_view body);

// One received frame: the header as it arrived and the body.
struct Frame {
    uint16_t type = 0;   // a FrameKind, or an unknown kind number
    std::string header;  // the 6 header bytes exactly as received
    std::string body;

    // Header and body exactly as they travelled.
    std::string Raw() const { return header + body; }
    bool Is(FrameKind kind) const { return type == static_cast<uint16_t>(kind); }
};

class FrameError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class FrameReader {
  public:
    explicit FrameReader(uint32_t maxBody = kMaxFrameBody) : maxBody_(maxBody) {}

    // Appends received bytes. Memory grows only with bytes that actually arrived.
    void Feed(std::string_view bytes);
    // The next whole frame, or nothing while it is incomplete. Throws FrameError when a
    // header announces a body above the limit.
    std::optional<Frame> Next();
    // Bytes received but not yet returned as a frame.
    size_t Buffered() const { return buf_.size() - pos_; }
    // Memory the reader holds. Once a large frame has been returned and nothing else is
    // buffered, the reader keeps at most kKeepBytes, so a long-lived connection that once
    // received a large frame does not hold its size while it idles.
    size_t Capacity() const { return buf_.capacity(); }
    static constexpr size_t kKeepBytes = 64 * 1024;

  private:
    std::string buf_;
    size_t pos_ = 0;
    uint32_t maxBody_;
};

}  // namespace tessil
