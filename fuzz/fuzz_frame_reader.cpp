// Fuzz target: the incremental frame reader fed the input in pieces whose sizes the input's
// first bytes choose. Every frame it returns must re-encode to exactly the bytes it came
// from, in order, and nothing may be returned twice or lost; an oversized announcement is
// the only error. Run by libFuzzer, one input at a time.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "client/FrameReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    // A small body limit, so that announcements above it are reached too.
    const uint32_t maxBody = 1u + data[0] * 64u;
    const size_t piece = 1u + data[1] % 17u;
    std::string_view input(reinterpret_cast<const char*>(data) + 2, size - 2);
    tessil::FrameReader reader(maxBody);
    std::string returned;
    try {
        for (size_t at = 0; at < input.size(); at += piece) {
            reader.Feed(input.substr(at, piece));
            while (auto frame = reader.Next()) {
                if (frame->header.size() != tessil::kFrameHeaderSize) std::abort();
                if (frame->body.size() > maxBody) std::abort();
                returned += frame->Raw();
            }
        }
    } catch (const tessil::FrameError&) {
        return 0;  // a header announced more than the limit: the connection would end
    }
    // Every byte is either in a returned frame or still buffered, and in order.
    if (returned.size() + reader.Buffered() != input.size()) std::abort();
    if (input.substr(0, returned.size()) != returned) std::abort();
    return 0;
}
