// What every log line goes through before it is kept, shown or written: secrets hidden,
// control characters escaped, the length cut, and the UTC time stamps. Pure functions,
// called from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace tessil::logtext {

// Replaces the value of every JSON member named "pass" (the protocol's password member,
// also when its name is written with escapes such as "p\u0061ss") with "***". The text
// need not be valid JSON: a value cut short is hidden to the end of the text.
std::string RedactSecrets(std::string_view text);

// Escapes what could forge a line or drive a terminal: CR, LF, tab, ESC and every other
// byte below 0x20, and DEL become "\r", "\n", "\t", "\x1b"... Other bytes, UTF-8
// included, stay as they are.
std::string EscapeControls(std::string_view text);

// Cuts text to at most maxBytes (not inside a UTF-8 sequence or an escape), adding
// " ...[N bytes cut]" when it cut anything. maxBytes 0 means no limit.
std::string Cut(std::string text, size_t maxBytes);

// RedactSecrets, EscapeControls and Cut in that order.
std::string Clean(std::string_view text, size_t maxBytes);

// "2026-12-10T13:51:32.123Z", kUtcStampBytes long.
inline constexpr size_t kUtcStampBytes = 24;
std::string UtcStamp(std::chrono::system_clock::time_point when);
// The same appended to out.
void AppendUtcStamp(std::string& out, std::chrono::system_clock::time_point when);

}  // namespace tessil::logtext
