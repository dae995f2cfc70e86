// Log-line hygiene: secret redaction, control escapes, cutting and UTC stamps (see
// LogText.h). Pure functions; any thread.
#include "platform/LogText.h"

#include <time.h>

#include <algorithm>
#include <cstdio>

namespace tessil::logtext {

namespace {

bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    return (c | 0x20) - 'a' + 10;
}

// Reads the JSON string that starts at text[pos] == '"'. Returns the index just past its
// closing quote (text.size() when it has none) and its decoded ASCII content in `decoded`
// (characters above 0x7F are kept as '?': only ASCII names matter here).
size_t ReadString(std::string_view text, size_t pos, std::string* decoded) {
    size_t i = pos + 1;
    while (i < text.size()) {
        char c = text[i];
        if (c == '"') return i + 1;
        if (c == '\\' && i + 1 < text.size()) {
            char e = text[i + 1];
            if (e == 'u' && i + 5 < text.size() && IsHex(text[i + 2]) && IsHex(text[i + 3]) &&
                IsHex(text[i + 4]) && IsHex(text[i + 5])) {
                int v = (HexValue(text[i + 2]) << 12) | (HexValue(text[i + 3]) << 8) |
                        (HexValue(text[i + 4]) << 4) | HexValue(text[i + 5]);
                if (decoded) decoded->push_back(v < 0x80 ? static_cast<char>(v) : '?');
                i += 6;
                continue;
            }
            if (decoded) decoded->push_back(e);
            i += 2;
            continue;
        }
        if (decoded) decoded->push_back(c);
        ++i;
    }
    return text.size();
}

size_t SkipSpace(std::string_view text, size_t i) {
    while (i < text.size() &&
           (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n'))
        ++i;
    return i;
}

bool IsSecretName(const std::string& name) {
    return name == "pass";
}

// A secret's name appears literally unless it is written with escapes: a line with
// neither (every request but LOGIN) is kept as it is without reading its strings.
bool MayHoldSecret(std::string_view text) {
    return text.find('"') != std::string_view::npos &&
           (text.find("pass") != std::string_view::npos ||
            text.find('\\') != std::string_view::npos);
}

}  // namespace

std::string RedactSecrets(std::string_view text) {
    if (!MayHoldSecret(text)) return std::string(text);
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '"') {
            out.push_back(text[i++]);
            continue;
        }
        std::string name;
        const size_t end = ReadString(text, i, &name);
        out.append(text.substr(i, end - i));
        i = end;
        size_t colon = SkipSpace(text, i);
        if (!IsSecretName(name) || colon >= text.size() || text[colon] != ':') continue;
        size_t value = SkipSpace(text, colon + 1);
        out.append(text.substr(i, value - i));
        i = value;
        if (i >= text.size()) break;
        if (text[i] == '"') {
            i = ReadString(text, i, nullptr);
            out.append("\"***\"");
        } else {
            // A number, literal or anything else: hidden up to the member's end.
            while (i < text.size() && text[i] != ',' && text[i] != '}') ++i;
            out.append("\"***\"");
        }
    }
    return out;
}

namespace {

bool Plain(char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return c >= 0x20 && c != 0x7f;
}

// What EscapeControls writes for one byte.
void AppendEscaped(std::string& out, char ch) {
    if (Plain(ch)) {
        out.push_back(ch);
        return;
    }
    switch (ch) {
        case '\n':
            out += "\\n";
            return;
        case '\r':
            out += "\\r";
            return;
        case '\t':
            out += "\\t";
            return;
        default: {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned char>(ch));
            out += buf;
        }
    }
}

// The length of what AppendEscaped writes for one byte.
size_t EscapedSize(char ch) {
    if (Plain(ch)) return 1;
    return ch == '\n' || ch == '\r' || ch == '\t' ? 2 : 4;
}

// The cut of Cut, for `head`, the first bytes (more than maxBytes) of a text `total` bytes
// long: the result holds only what is kept and the note.
std::string CutHead(std::string_view head, size_t total, size_t maxBytes) {
    size_t keep = maxBytes;
    // Not inside a UTF-8 sequence: back off continuation bytes.
    while (keep > 0 && (static_cast<unsigned char>(head[keep]) & 0xC0) == 0x80) --keep;
    // Not inside an escape written by EscapeControls ("\x1b" is the longest, 4 bytes).
    for (size_t back = 1; back < 4 && back <= keep; ++back) {
        if (head[keep - back] == '\\') {
            size_t run = 0;
            while (run < keep - back + 1 && head[keep - back - run] == '\\') ++run;
            if (run % 2 == 1) keep -= back;
            break;
        }
    }
    const std::string note = " ...[" + std::to_string(total - keep) + " bytes cut]";
    std::string out;
    out.reserve(keep + note.size());
    out.append(head.substr(0, keep)).append(note);
    return out;
}

}  // namespace

std::string EscapeControls(std::string_view text) {
    if (std::all_of(text.begin(), text.end(), Plain)) return std::string(text);
    std::string out;
    out.reserve(text.size());
    for (char ch : text) AppendEscaped(out, ch);
    return out;
}

std::string Cut(std::string text, size_t maxBytes) {
    if (maxBytes == 0 || text.size() <= maxBytes) return text;
    return CutHead(text, text.size(), maxBytes);
}

std::string Clean(std::string_view text, size_t maxBytes) {
    std::string redacted;
    if (MayHoldSecret(text)) {
        redacted = RedactSecrets(text);
        text = redacted;
    }
    if (maxBytes == 0) return EscapeControls(text);
    // Only what is kept is escaped (and a few bytes more, to find a boundary to cut at);
    // the rest is only measured. A request of a megabyte costs the log a line of its
    // length limit, not a megabyte of escapes.
    std::string head;
    head.reserve(std::min(text.size(), maxBytes) + 4);
    size_t i = 0;
    while (i < text.size() && head.size() <= maxBytes + 4) AppendEscaped(head, text[i++]);
    if (head.size() <= maxBytes) return head;
    size_t total = head.size();
    for (; i < text.size(); ++i) total += EscapedSize(text[i]);
    return CutHead(head, total, maxBytes);
}

std::string UtcStamp(std::chrono::system_clock::time_point when) {
    std::string out;
    AppendUtcStamp(out, when);
    return out;
}

void AppendUtcStamp(std::string& out, std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(when.time_since_epoch()).count();
    const time_t secs = static_cast<time_t>(ms / 1000);
    // Every request's log line is stamped: the date and time of day are formatted once per
    // second and thread, only the milliseconds each time.
    thread_local bool known = false;
    thread_local time_t lastSecs = 0;
    thread_local char prefix[32];  // "YYYY-MM-DDTHH:MM:SS."
    thread_local int prefixLen = 0;
    if (!known || secs != lastSecs) {
        tm utc{};
        gmtime_r(&secs, &utc);
        prefixLen = std::snprintf(prefix, sizeof prefix, "%04d-%02d-%02dT%02d:%02d:%02d.",
                                  utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour,
                                  utc.tm_min, utc.tm_sec);
        if (prefixLen < 0 || prefixLen >= static_cast<int>(sizeof prefix)) prefixLen = 0;
        known = prefixLen > 0;
        lastSecs = secs;
    }
    const int milli = static_cast<int>(((ms % 1000) + 1000) % 1000);
    out.append(prefix, static_cast<size_t>(prefixLen));
    out += static_cast<char>('0' + milli / 100);
    out += static_cast<char>('0' + milli / 10 % 10);
    out += static_cast<char>('0' + milli % 10);
    out += 'Z';
}

}  // namespace tessil::logtext
