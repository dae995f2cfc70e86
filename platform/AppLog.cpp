// The window log (bounded in-memory lines with subscribers) and the file log (a TLogFile
// fed from any thread). Both are process-wide; any thread may write at any time.
#include "platform/AppLog.h"

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "platform/LogFile.h"
#include "platform/LogText.h"

namespace tessil {

// ---------------------------------------------------------------------------------------
// Window log
// ---------------------------------------------------------------------------------------
namespace windowlog {
namespace {

struct Subscriber {
    std::function<void(const std::string&, bool)> fn;
    bool wantsText = true;
};

// What one kept line costs besides its text (time, deque slot, string headers).
constexpr size_t kEntryOverhead = 96;

// The memory a kept line holds, so that the byte budget bounds what the log really keeps.
size_t Cost(const Entry& e) {
    return e.text.capacity() + e.context.capacity() + kEntryOverhead;
}

struct WindowLog {
    std::mutex mutex;  // guards lines, bytes, lastSeq and the limits
    std::deque<Entry> lines;
    size_t bytes = 0;
    uint64_t lastSeq = 0;                    // sequence number of the newest line ever added
    std::atomic<size_t> maxLineBytes{2048};  // read without the lock on every line
    size_t maxTotalBytes = 4u << 20;
    // Held shared while subscribers run and exclusively while the set changes, so that
    // a subscriber never runs after its Unsubscribe has returned.
    std::shared_mutex subsMutex;
    std::map<int, Subscriber> subscribers;
    // Subscribers that read the line itself: without one, a line's text is not copied.
    std::atomic<int> textSubscribers{0};
    int nextId = 1;
    std::atomic<Echo> echo{Echo::kOff};
};

WindowLog& state() {
    static WindowLog* log = new WindowLog;  // never destroyed: loggers may run at exit
    return *log;
}

// Standard output for the echo, written by a thread of its own so that a request that
// adds a line never waits for whoever reads the output. Never destroyed (lines may be
// added during exit); an exit handler writes what is queued.
TLogFile& echoOut() {
    static TLogFile* out = [] {
        auto* created = new TLogFile(
            [](std::string_view note) {
                return EchoLine(Entry{std::chrono::system_clock::now(), {}, std::string(note)},
                                state().echo.load());
            },
            "window_echo_lines");
        created->SetDescriptor(STDOUT_FILENO);
        created->SetBatchDelay(std::chrono::milliseconds(5));
        std::atexit([] { echoOut().Flush(); });
        return created;
    }();
    return *out;
}

// withText: the line's text was copied for the subscribers that read it; without it,
// one that subscribed since the check is left out (it finds the line in the log).
void notify(WindowLog& log, const std::string& line, bool cleared, bool withText) {
    static const std::string kNone;
    std::shared_lock lock(log.subsMutex);
    for (auto& [id, s] : log.subscribers) {
        if (!s.wantsText)
            s.fn(kNone, cleared);
        else if (withText)
            s.fn(line, cleared);
    }
}

std::string JsonString(std::string_view s) {
    // Lines are already free of control characters; quotes remain to escape.
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

}  // namespace

void Configure(size_t maxLineBytes, size_t maxTotalBytes) {
    WindowLog& log = state();
    std::lock_guard lock(log.mutex);
    log.maxLineBytes = maxLineBytes;
    log.maxTotalBytes = maxTotalBytes;
}

std::string EchoLine(const Entry& e, Echo mode) {
    std::string out;
    if (mode == Echo::kJson) {
        out = "{\"time\":\"";
        logtext::AppendUtcStamp(out, e.when);
        out += "\",\"log\":\"window\"";
        if (!e.context.empty()) out += ",\"conn\":" + JsonString(e.context);
        out += ",\"msg\":" + JsonString(e.text) + "}";
        return out;
    }
    // One buffer, with room for the line end the writer adds.
    out.reserve(logtext::kUtcStampBytes + 1 + (e.context.empty() ? 0 : e.context.size() + 3) +
                e.text.size() + 2);
    logtext::AppendUtcStamp(out, e.when);
    out += ' ';
    if (!e.context.empty()) out.append("[").append(e.context).append("] ");
    out += e.text;
    return out;
}

void Add(std::string_view line) {
    Add(line, {});
}

void Add(std::string_view line, std::string_view context) {
    WindowLog& log = state();
    const size_t maxLine = log.maxLineBytes.load(std::memory_order_relaxed);
    Entry e{std::chrono::system_clock::now(), logtext::Clean(context, 128),
            logtext::Clean(line, maxLine)};
    const bool withText = log.textSubscribers.load() > 0;
    const std::string text = withText ? e.text : std::string();
    const Echo echo = log.echo.load(std::memory_order_relaxed);
    std::string echoed = echo == Echo::kOff ? std::string() : EchoLine(e, echo);
    {
        std::lock_guard lock(log.mutex);
        log.bytes += Cost(e);
        log.lines.push_back(std::move(e));
        while (!log.lines.empty() &&
               (log.lines.size() > kMaxLines || log.bytes > log.maxTotalBytes)) {
            log.bytes -= Cost(log.lines.front());
            log.lines.pop_front();
        }
        ++log.lastSeq;
    }
    if (echo != Echo::kOff) echoOut().Append("window", std::move(echoed));
    notify(log, text, false, withText);
}

void Clear() {
    WindowLog& log = state();
    {
        std::lock_guard lock(log.mutex);
        log.lines.clear();
        log.lines.shrink_to_fit();
        log.bytes = 0;
    }
    notify(log, std::string(), true, true);
}

std::vector<Entry> SnapshotEntries(uint64_t* lastSeq) {
    WindowLog& log = state();
    std::lock_guard lock(log.mutex);
    if (lastSeq != nullptr) *lastSeq = log.lastSeq;
    return {log.lines.begin(), log.lines.end()};
}

std::vector<Entry> SinceEntries(uint64_t afterSeq, uint64_t* lastSeq) {
    WindowLog& log = state();
    std::lock_guard lock(log.mutex);
    if (lastSeq != nullptr) *lastSeq = log.lastSeq;
    if (afterSeq >= log.lastSeq) return {};
    // The kept lines carry the numbers lastSeq - size + 1 .. lastSeq.
    const uint64_t newer = log.lastSeq - afterSeq;
    const size_t take = newer < log.lines.size() ? static_cast<size_t>(newer) : log.lines.size();
    return {log.lines.end() - static_cast<std::ptrdiff_t>(take), log.lines.end()};
}

namespace {
std::vector<std::string> Texts(std::vector<Entry> entries) {
    std::vector<std::string> out;
    out.reserve(entries.size());
    for (Entry& e : entries) out.push_back(std::move(e.text));
    return out;
}
}  // namespace

std::vector<std::string> Snapshot(uint64_t* lastSeq) {
    return Texts(SnapshotEntries(lastSeq));
}

std::vector<std::string> Since(uint64_t afterSeq, uint64_t* lastSeq) {
    return Texts(SinceEntries(afterSeq, lastSeq));
}

namespace {
int AddSubscriber(Subscriber s) {
    WindowLog& log = state();
    std::unique_lock lock(log.subsMutex);
    const int id = log.nextId++;
    if (s.wantsText) ++log.textSubscribers;
    log.subscribers.emplace(id, std::move(s));
    return id;
}
}  // namespace

int Subscribe(std::function<void(const std::string& line, bool cleared)> fn) {
    return AddSubscriber(Subscriber{std::move(fn), true});
}

int SubscribeChanges(std::function<void(bool cleared)> fn) {
    return AddSubscriber(
        Subscriber{[fn = std::move(fn)](const std::string&, bool cleared) { fn(cleared); }, false});
}

void Unsubscribe(int id) {
    WindowLog& log = state();
    std::unique_lock lock(log.subsMutex);
    auto it = log.subscribers.find(id);
    if (it == log.subscribers.end()) return;
    if (it->second.wantsText) --log.textSubscribers;
    log.subscribers.erase(it);
}

void SetEcho(Echo mode) {
    state().echo.store(mode);
}

}  // namespace windowlog

// ---------------------------------------------------------------------------------------
// File log
// ---------------------------------------------------------------------------------------
namespace filelog {
namespace {

// A file-log message is cut to this many bytes.
constexpr size_t kMaxMessageBytes = 4096;

std::string Stamp(std::chrono::system_clock::time_point when) {
    const time_t secs = std::chrono::system_clock::to_time_t(when);
    tm local{};
    localtime_r(&secs, &local);
    return FormatStamp(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                       local.tm_min, local.tm_sec);
}

TLogFile& instance() {
    // Never destroyed, so that a line written during exit finds the queue alive; an
    // exit handler writes what is queued.
    static TLogFile* log = [] {
        auto* created = new TLogFile(
            [](std::string_view note) {
                return Stamp(std::chrono::system_clock::now()) + "FileLog : " + std::string(note);
            },
            "file_log_lines");
        std::atexit([] { instance().Flush(); });
        return created;
    }();
    return *log;
}

}  // namespace

void SetPath(std::string path) {
    instance().SetPath(std::move(path));
}
std::string Path() {
    return instance().Path();
}
void Configure(uint64_t maxBytes, uint32_t linesPerSecond) {
    TLogFileLimits limits;
    limits.maxBytes = maxBytes;
    limits.linesPerSecond = linesPerSecond;
    instance().SetLimits(limits);
}
void Write(std::string_view head, std::string_view msg) {
    std::string cleanHead = logtext::Clean(head, 128);
    std::string line = Stamp(std::chrono::system_clock::now()) + cleanHead + " : " +
                       logtext::Clean(msg, kMaxMessageBytes);
    instance().Append(cleanHead, std::move(line));
}
void Flush() {
    instance().Flush();
}

std::string FormatStamp(int year, int month, int day, int hour, int minute, int second) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.4d/%.2d/%.2d [%.2d:%.2d:%.2d] ", year, month, day, hour,
                  minute, second);
    return buf;
}

}  // namespace filelog

}  // namespace tessil
