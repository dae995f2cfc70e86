// Text helpers of request handling: body marker, blanks, trimming, JSON escaping, room
// keys from the clock and the blocking pause. Called from any thread.
#include "protocol/TextUtils.h"

#include <time.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

namespace tessil {

namespace {

std::mutex clockMutex;
std::function<TTimeOfDay()> clockOverride;

TTimeOfDay localTimeOfDay() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    return {local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(ts.tv_nsec / 1000000)};
}

bool isControlOrBlank(char c) {
    return static_cast<unsigned char>(c) <= 0x20;
}

}  // namespace

std::string GetStreamData(std::string_view body) {
    if (body.size() < 3 || body.substr(0, 3) != "TXT") return {};
    return TrimControl(body.substr(3));
}

void RemoveSpace(std::string& text) {
    if (text.empty()) return;
    std::erase(text, ' ');
    const size_t brace = text.rfind('}');
    if (brace != std::string::npos) text.resize(brace + 1);
}

std::string RequestText(std::string_view body) {
    std::string text = GetStreamData(body);
    RemoveSpace(text);
    return DecodeStr(text);
}

std::string TrimAnsi(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (c != ' ') out.push_back(c);
    }
    return out;
}

std::string TrimControl(std::string_view text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && isControlOrBlank(text[first])) ++first;
    while (last > first && isControlOrBlank(text[last - 1])) --last;
    return std::string(text.substr(first, last - first));
}

std::string UpperAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

std::string IntToAnsiStr(int64_t n) {
    return std::to_string(n);
}

int32_t GetUniqueKey() {
    TTimeOfDay t;
    {
        std::lock_guard lock(clockMutex);
        t = clockOverride ? clockOverride() : localTimeOfDay();
    }
    // "1" hh mm ss (ms % 100), read back as a number.
    return 100000000 + t.hour * 1000000 + t.minute * 10000 + t.second * 100 + t.millisecond % 100;
}

void SetUniqueKeyClock(std::function<TTimeOfDay()> clock) {
    std::lock_guard lock(clockMutex);
    clockOverride = std::move(clock);
}

void Delay(int32_t ms) {
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(ms < 1 ? 1 : ms);
    while (std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_until(until);
    }
}

std::string JsonEscape(std::string_view text) {
    std::string out;
    AppendJsonEscaped(out, text);
    return out;
}

void AppendJsonEscaped(std::string& out, std::string_view text) {
    out.reserve(out.size() + text.size() + text.size() / 8);
    for (const char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned char>(c));
                    out += buf;
                } else {
                    out.push_back(c);
                }
        }
    }
}

}  // namespace tessil
