// Checks on text that came from the network: UTF-8 validity, control characters, JSON
// nesting depth, and a comparison whose time does not depend on where two texts differ.
// Stateless free functions; called from any thread.
#pragma once

#include <cstddef>
#include <string_view>

namespace tessil {

// Length of the valid UTF-8 sequence that starts at s[i], or 0 when the bytes there are not
// one (overlong forms, UTF-16 surrogates and code points above U+10FFFF are refused).
size_t Utf8SequenceLength(std::string_view s, size_t i);

// True when every byte belongs to a valid UTF-8 sequence.
bool IsValidUtf8(std::string_view s);

// What a text field may hold besides printable characters.
enum class TTextRule {
    Identifier,  // no control character at all (IDs, passwords, game codes, command words)
    Message,     // tab and line feed allowed (chat texts, room subjects)
};

// True when the text is valid UTF-8 without NUL, without C0 and C1 control characters and
// without DEL, apart from what the rule allows.
bool IsCleanText(std::string_view s, TTextRule rule);

// True when the JSON text nests arrays and objects deeper than maxDepth. Brackets inside
// strings do not count; the scan stops at the first level past the limit, so its cost does
// not depend on how deep the text goes beyond it.
bool JsonNestsDeeperThan(std::string_view text, size_t maxDepth);

// Equality of two texts in a time that depends on their lengths only, never on where they
// differ (password checks).
bool ConstantTimeEquals(std::string_view a, std::string_view b);

}  // namespace tessil
