// The application's two logs: the window log (plain lines, the most recent 5000 kept in
// memory, observable by the control panel) and the file log (time-stamped lines written
// by one writer thread). Callers on any thread never wait for the disk.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tessil {

// Window log. Thread-safe.
namespace windowlog {
inline constexpr size_t kMaxLines = 5000;
void Add(std::string_view line);
void Clear();
// The kept lines, oldest first, and the sequence number of the newest (0 when none).
std::vector<std::string> Snapshot(uint64_t* lastSeq = nullptr);
// Lines with a sequence number above afterSeq (for incremental readers).
std::vector<std::string> Since(uint64_t afterSeq, uint64_t* lastSeq);
// Called for every added line (on the adding thread, outside the log's lock) and with
// an empty line plus cleared=true after Clear. Returns an id for Unsubscribe.
int Subscribe(std::function<void(const std::string& line, bool cleared)> fn);
void Unsubscribe(int id);
// Echo every line to standard output (headless mode).
void SetEchoToStdout(bool on);
}  // namespace windowlog

// File log. Lines: "YYYY/MM/DD [hh:mm:ss] " + head + " : " + msg + CR LF.
namespace filelog {
// Empty path: lines are dropped.
void SetPath(std::string path);
std::string Path();
void Write(std::string_view head, std::string_view msg);
// Blocks until every line queued before the call is on disk (tests, shutdown).
void Flush();
// The time-stamp prefix for a given local time (exposed for tests).
std::string FormatStamp(int year, int month, int day, int hour, int minute, int second);
}  // namespace filelog

}  // namespace tessil
