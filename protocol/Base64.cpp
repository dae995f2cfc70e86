// Base64 in both directions and the UTF-8 clean-up used on decoded request bodies.
// Stateless free functions; called from any thread.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/TextCheck.h"
#include "protocol/TextUtils.h"

namespace tessil {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kLineLength = 76;

// Maps a byte to its 6-bit value, or -1 for every character outside the alphabet.
constexpr std::array<int8_t, 256> makeDecodeTable() {
    std::array<int8_t, 256> table{};
    for (auto& v : table) v = -1;
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
    return table;
}
constexpr auto kDecodeTable = makeDecodeTable();

// Characters the encoder writes for a number of bytes, line breaks included.
size_t Base64EncodedSize(size_t bytes) {
    const size_t chars = (bytes + 2) / 3 * 4;
    return chars + (chars / kLineLength) * 2;
}

}  // namespace

std::string Base64Encode(std::string_view bytes) {
    std::string out;
    Base64EncodeAppend(out, bytes);
    return out;
}

void Base64EncodeAppend(std::string& out, std::string_view bytes) {
    out.reserve(out.size() + Base64EncodedSize(bytes.size()));
    size_t column = 0;
    auto put = [&](char c) {
        out.push_back(c);
        if (++column == kLineLength) {
            out.append("\r\n");
            column = 0;
        }
    };
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t v = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
        put(kAlphabet[(v >> 18) & 63]);
        put(kAlphabet[(v >> 12) & 63]);
        put(kAlphabet[(v >> 6) & 63]);
        put(kAlphabet[v & 63]);
    }
    const size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        put(kAlphabet[(v >> 18) & 63]);
        put(kAlphabet[(v >> 12) & 63]);
        put(rest == 2 ? kAlphabet[(v >> 6) & 63] : '=');
        put('=');
    }
}

std::string Base64Decode(std::string_view text) {
    std::string out;
    out.reserve(text.size() / 4 * 3 + 3);
    uint32_t acc = 0;
    int bits = 0;
    for (const char c : text) {
        const int v = kDecodeTable[static_cast<unsigned char>(c)];
        if (v < 0) continue;  // '=', line breaks, blanks and any other stray byte
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((acc >> bits) & 0xFF));
        }
    }
    return out;
}

std::string DecodeStr(std::string_view base64) {
    std::string raw = Base64Decode(base64);
    // Most texts are valid throughout and are returned as decoded.
    size_t i = 0;
    while (i < raw.size()) {
        const size_t len = Utf8SequenceLength(raw, i);
        if (len == 0) break;
        i += len;
    }
    if (i == raw.size()) return raw;
    std::string out(raw, 0, i);
    while (i < raw.size()) {
        const size_t len = Utf8SequenceLength(raw, i);
        if (len == 0) {
            ++i;  // a byte that starts no valid sequence is dropped
            continue;
        }
        out.append(raw, i, len);
        i += len;
    }
    return out;
}

std::string EncodeStr(std::string_view utf8) {
    return Base64Encode(utf8);
}

}  // namespace tessil
