// The application's two logs: the window log (the newest lines in memory within a byte
// budget, each with its UTC time and, for connection events, the connection; observable
// by the control panel, echoed to standard output when headless) and the file log
// (time-stamped lines written by a thread of its own). Every line is cleaned first:
// passwords hidden, control characters escaped, its length cut. Callers on any thread
// never wait for the disk.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tessil {

// Window log. Thread-safe.
namespace windowlog {
inline constexpr size_t kMaxLines = 5000;

struct Entry {
    std::chrono::system_clock::time_point when;
    std::string context;  // "#12 127.0.0.1:50312" for a connection's event, else empty
    std::string text;     // the line as the window shows it
};

// Line length and the byte budget of the kept lines (set from the settings at start).
void Configure(size_t maxLineBytes, size_t maxTotalBytes);
void Add(std::string_view line);
void Add(std::string_view line, std::string_view context);
void Clear();
// The kept lines, oldest first, and the sequence number of the newest (0 when none).
std::vector<std::string> Snapshot(uint64_t* lastSeq = nullptr);
std::vector<Entry> SnapshotEntries(uint64_t* lastSeq = nullptr);
// Lines with a sequence number above afterSeq (for incremental readers).
std::vector<std::string> Since(uint64_t afterSeq, uint64_t* lastSeq);
std::vector<Entry> SinceEntries(uint64_t afterSeq, uint64_t* lastSeq);
// Called for every added line (on the adding thread, outside the log's lock) and with
// an empty line plus cleared=true after Clear. Returns an id for Unsubscribe.
int Subscribe(std::function<void(const std::string& line, bool cleared)> fn);
// The same for a subscriber that only needs to know that lines changed: it is called
// with an empty line, and the adding thread copies no text for it.
int SubscribeChanges(std::function<void(bool cleared)> fn);
void Unsubscribe(int id);

enum class Echo { kOff, kText, kJson };
// Echo every line to standard output: kText as "TIME [CONTEXT] LINE", kJson as one JSON
// object per line {"time":…,"log":"window","conn":…,"msg":…}.
void SetEcho(Echo mode);
// The echo's form of one entry (exposed for tests).
std::string EchoLine(const Entry& e, Echo mode);
}  // namespace windowlog

// File log. Lines: "YYYY/MM/DD [hh:mm:ss] " + head + " : " + msg + CR LF.
namespace filelog {
// Empty path: lines are dropped.
void SetPath(std::string path);
std::string Path();
// Size cap (the file becomes NAME.1 past it) and lines per second per head.
void Configure(uint64_t maxBytes, uint32_t linesPerSecond);
void Write(std::string_view head, std::string_view msg);
// Blocks until every line queued before the call is on disk (tests, shutdown).
void Flush();
// The time-stamp prefix for a given local time (exposed for tests).
std::string FormatStamp(int year, int month, int day, int hour, int minute, int second);
}  // namespace filelog

}  // namespace tessil
