// Incremental parser of the framed message protocol: bytes in, whole frames out, with
// each frame's raw bytes kept. Owned by one connection; used by one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "protocol/MsgFrame.h"

namespace tessil {

// One received frame: the header as it arrived and the body.
struct Frame {
    uint16_t type = 0;
    std::string header;  // the 6 header bytes exactly as received
    std::string body;

    // Header and body exactly as they travelled.
    std::string Raw() const { return header + body; }
};

class FrameError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class FrameReader {
  public:
    explicit FrameReader(uint32_t maxBody = MaxMessageSize) : maxBody_(maxBody) {}

    // Appends received bytes. Memory grows only with bytes that actually arrived.
    void Feed(std::string_view bytes);
    // The next whole frame, or nothing while it is incomplete. Throws FrameError when a
    // header announces a body above the limit.
    std::optional<Frame> Next();
    // Bytes received but not yet returned as a frame.
    size_t Buffered() const { return buf_.size() - pos_; }

  private:
    std::string buf_;
    size_t pos_ = 0;
    uint32_t maxBody_;
};

}  // namespace tessil
