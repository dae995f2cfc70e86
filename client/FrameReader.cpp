// Incremental frame parser of the client library. Used by one thread at a time.
#include "client/FrameReader.h"

#include "protocol/MsgFrame.h"

namespace tessil {

std::string EncodeFrame(FrameKind kind, std::string_view body) {
    return EncodeFrame(static_cast<uint16_t>(kind), body);
}

void FrameReader::Feed(std::string_view bytes) {
    // Drop what has been consumed before the buffer grows again.
    if (pos_ > 0 && pos_ >= buf_.size() / 2) {
        buf_.erase(0, pos_);
        pos_ = 0;
    }
    buf_.append(bytes);
}

std::optional<Frame> FrameReader::Next() {
    if (Buffered() < kHeaderSize) return std::nullopt;
    const TMsgHeader h = TMsgHeader::Decode(buf_.data() + pos_);
    if (h.MsgLen > maxBody_) {
        throw FrameError("frame announces " + std::to_string(h.MsgLen) +
                         " body bytes, more than the limit of " + std::to_string(maxBody_));
    }
    if (Buffered() - kHeaderSize < h.MsgLen) return std::nullopt;
    Frame f;
    f.type = h.MsgType;
    f.header.assign(buf_, pos_, kHeaderSize);
    f.body.assign(buf_, pos_ + kHeaderSize, h.MsgLen);
    pos_ += kHeaderSize + h.MsgLen;
    if (pos_ == buf_.size()) {
        if (buf_.capacity() > kKeepBytes)
            std::string().swap(buf_);
        else
            buf_.clear();
        pos_ = 0;
    }
    return f;
}

}  // namespace tessil
