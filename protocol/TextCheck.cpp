// UTF-8 and control-character checks, the JSON depth scan and the constant-time comparison.
// Stateless free functions; called from any thread.
#include "protocol/TextCheck.h"

namespace tessil {

size_t Utf8SequenceLength(std::string_view s, size_t i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) return 1;
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;  // D800..DFFF are surrogates, not characters
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    const auto b1 = static_cast<unsigned char>(s[i + 1]);
    if (b1 < lo || b1 > hi) return 0;
    for (size_t k = 2; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if (b < 0x80 || b > 0xBF) return 0;
    }
    return len;
}

bool IsValidUtf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        const size_t len = Utf8SequenceLength(s, i);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

bool IsCleanText(std::string_view s, TTextRule rule) {
    for (size_t i = 0; i < s.size();) {
        const size_t len = Utf8SequenceLength(s, i);
        if (len == 0) return false;
        const auto b0 = static_cast<unsigned char>(s[i]);
        if (len == 1) {
            const bool allowed = rule == TTextRule::Message && (b0 == '\t' || b0 == '\n');
            if ((b0 < 0x20 || b0 == 0x7F) && !allowed) return false;
        } else if (len == 2 && b0 == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0) {
            return false;  // U+0080..U+009F, the C1 controls
        }
        i += len;
    }
    return true;
}

bool JsonNestsDeeperThan(std::string_view text, size_t maxDepth) {
    size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        switch (c) {
            case '"':
                inString = true;
                break;
            case '[':
            case '{':
                if (++depth > maxDepth) return true;
                break;
            case ']':
            case '}':
                if (depth > 0) --depth;
                break;
            default:
                break;
        }
    }
    return false;
}

bool ConstantTimeEquals(std::string_view a, std::string_view b) {
    // Walks the longer text whole, comparing with the shorter one cycled, so that neither
    // the first difference nor the shorter length ends the loop early.
    const size_t n = a.size() > b.size() ? a.size() : b.size();
    unsigned diff = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < n; ++i) {
        const auto x = a.empty() ? 0u : static_cast<unsigned char>(a[i % a.size()]);
        const auto y = b.empty() ? 0u : static_cast<unsigned char>(b[i % b.size()]);
        diff |= x ^ y;
    }
    // Keeps the compiler from turning the accumulation into an early exit.
    volatile unsigned result = diff;
    return result == 0;
}

}  // namespace tessil
