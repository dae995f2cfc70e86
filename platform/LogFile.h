// A log file written by a thread of its own: callers queue whole lines and never wait for
// the disk. The writer keeps the file open (a line can still be written when the process
// has no descriptor left) and checks before each batch that the name still leads to the
// open file, so a file renamed away (logrotate) is left at once and the next batch
// creates it again; past its size cap
// the file is renamed to NAME.1. Lines of one kind beyond a rate are counted, not written,
// with one line per episode. Owned by the file log and by the engine's file logger; Append
// from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/LimitEvents.h"

namespace tessil {

struct TLogFileLimits {
    uint64_t maxBytes = 0;        // rename to NAME.1 past this size; 0: no cap
    uint32_t linesPerSecond = 0;  // per kind; 0: no rate limit
    size_t maxPending = 100000;   // unwritten lines kept; beyond, counted and dropped

    // [Limits] LogFileBytes and LogLinesPerSecond of the settings file.
    static TLogFileLimits FromSettings();
};

class TLogFile {
  public:
    // `formatNote` turns a note of the log's own (lines left out) into a whole line in the
    // file's format; `refusalName` is the limit counter of lines refused by the rate (a
    // string literal).
    TLogFile(std::function<std::string(std::string_view note)> formatNote, const char* refusalName);
    // Writes what is queued, then ends the writer thread.
    ~TLogFile();
    TLogFile(const TLogFile&) = delete;
    TLogFile& operator=(const TLogFile&) = delete;

    // Empty path: lines are dropped. Any thread but the writer; returns once the writer has
    // opened the file (or closed it).
    void SetPath(std::string path);
    // Writes to a descriptor the caller keeps open (standard output) instead of a file:
    // lines end with LF, and the descriptor is never renamed, capped or closed. -1 stops.
    void SetDescriptor(int fd);
    // How long the writer lets lines gather after the first one of a batch arrives (0:
    // none): a busy log then costs one wake-up and one write per batch, not per line.
    void SetBatchDelay(std::chrono::milliseconds delay);
    std::string Path();
    void SetLimits(TLogFileLimits limits);

    // Queues one line (without its line end; CR LF is added). `kind` names the message
    // kind for the rate limit (a file-log head, an engine message's first words).
    // Any thread; never blocks on the disk.
    void Append(std::string_view kind, std::string line);
    // Blocks until every line queued before the call was handed to the file.
    void Flush();
    // Flush on every log file alive (tests that read a log right after an event).
    static void FlushAll();
    // Creates or empties the file now, reporting why it cannot be written.
    static bool Touch(const std::string& path, bool truncate, std::string* error);

  private:
    struct Kind {
        double tokens = 0;
        std::chrono::steady_clock::time_point refill{};
        uint64_t refused = 0;  // not yet reported in a note
        std::chrono::steady_clock::time_point lastNote{};
        limits::TEpisode episode;
    };
    void Run();
    void WriteBatch(const std::string& path, int fd, std::string& text);
    // Writer thread: makes fd_ the file that `path` names now, opening it when needed.
    bool OpenCurrent(const std::string& path);
    void CloseFile();
    // False when the line is over its kind's rate; may queue a note first (mutex_ held).
    bool Admit(std::string_view kind, std::chrono::steady_clock::time_point now);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::deque<std::string> queue_;  // whole lines with their CR LF
    std::string path_;
    int outFd_ = -1;  // SetDescriptor's target, used instead of path_ when set
    TLogFileLimits limits_;
    const std::function<std::string(std::string_view)> formatNote_;
    const char* const refusalName_;
    std::map<std::string, Kind, std::less<>> kinds_;
    uint64_t queued_ = 0;
    uint64_t written_ = 0;
    uint64_t dropped_ = 0;
    bool stop_ = false;
    bool pathChanged_ = false;
    uint64_t pathChanges_ = 0;   // SetPath calls so far
    uint64_t pathsApplied_ = 0;  // of these, the ones the writer has opened or closed
    bool flushWanted_ = false;   // a Flush is waiting: no batch delay
    bool writerIdle_ = false;    // the writer waits for a first line
    std::chrono::milliseconds batchDelay_{0};
    // The open file and its identity: the writer thread's alone.
    int fd_ = -1;
    std::string openPath_;
    uint64_t openDev_ = 0;
    uint64_t openIno_ = 0;
    std::thread writer_;  // last member: started once the rest is constructed
};

}  // namespace tessil
