// The window log (bounded in-memory lines with subscribers) and the file log (one
// writer thread fed by a queue). Both are process-wide; any thread may write at any time.
#include "platform/AppLog.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>

namespace tessil {

// ---------------------------------------------------------------------------------------
// Window log
// ---------------------------------------------------------------------------------------
namespace windowlog {
namespace {

using Subscriber = std::function<void(const std::string&, bool)>;

struct WindowLog {
    std::mutex mutex;  // guards lines and lastSeq
    std::deque<std::string> lines;
    uint64_t lastSeq = 0;  // sequence number of the newest line ever added
    // Held shared while subscribers run and exclusively while the set changes, so that
    // a subscriber never runs after its Unsubscribe has returned.
    std::shared_mutex subsMutex;
    std::map<int, Subscriber> subscribers;
    int nextId = 1;
    std::atomic<bool> echo{false};
};

WindowLog& state() {
    static WindowLog* log = new WindowLog;  // never destroyed: loggers may run at exit
    return *log;
}

void notify(WindowLog& log, const std::string& line, bool cleared) {
    std::shared_lock lock(log.subsMutex);
    for (auto& [id, fn] : log.subscribers) fn(line, cleared);
}

}  // namespace

void Add(std::string_view line) {
    WindowLog& log = state();
    std::string text(line);
    {
        std::lock_guard lock(log.mutex);
        log.lines.push_back(text);
        if (log.lines.size() > kMaxLines) log.lines.pop_front();
        ++log.lastSeq;
    }
    if (log.echo.load(std::memory_order_relaxed)) {
        const std::string out = text + "\n";
        std::fwrite(out.data(), 1, out.size(), stdout);
        std::fflush(stdout);
    }
    notify(log, text, false);
}

void Clear() {
    WindowLog& log = state();
    {
        std::lock_guard lock(log.mutex);
        log.lines.clear();
    }
    notify(log, std::string(), true);
}

std::vector<std::string> Snapshot(uint64_t* lastSeq) {
    WindowLog& log = state();
    std::lock_guard lock(log.mutex);
    if (lastSeq != nullptr) *lastSeq = log.lastSeq;
    return {log.lines.begin(), log.lines.end()};
}

std::vector<std::string> Since(uint64_t afterSeq, uint64_t* lastSeq) {
    WindowLog& log = state();
    std::lock_guard lock(log.mutex);
    if (lastSeq != nullptr) *lastSeq = log.lastSeq;
    if (afterSeq >= log.lastSeq) return {};
    // The kept lines carry the numbers lastSeq - size + 1 .. lastSeq.
    const uint64_t newer = log.lastSeq - afterSeq;
    const size_t take = newer < log.lines.size() ? static_cast<size_t>(newer) : log.lines.size();
    return {log.lines.end() - static_cast<std::ptrdiff_t>(take), log.lines.end()};
}

int Subscribe(std::function<void(const std::string& line, bool cleared)> fn) {
    WindowLog& log = state();
    std::unique_lock lock(log.subsMutex);
    const int id = log.nextId++;
    log.subscribers.emplace(id, std::move(fn));
    return id;
}

void Unsubscribe(int id) {
    WindowLog& log = state();
    std::unique_lock lock(log.subsMutex);
    log.subscribers.erase(id);
}

void SetEchoToStdout(bool on) {
    state().echo.store(on);
}

}  // namespace windowlog

// ---------------------------------------------------------------------------------------
// File log
// ---------------------------------------------------------------------------------------
namespace filelog {
namespace {

// Beyond this many unwritten lines new lines are counted and dropped, so that a stalled
// disk cannot make the server's memory grow without limit; callers never wait.
constexpr size_t kMaxPending = 100000;

struct Entry {
    std::chrono::system_clock::time_point when;
    std::string head;
    std::string msg;
};

class FileLog {
  public:
    FileLog() : writer_([this] { run(); }) {}

    void setPath(std::string path) {
        std::lock_guard lock(mutex_);
        path_ = std::move(path);
    }

    std::string path() {
        std::lock_guard lock(mutex_);
        return path_;
    }

    void write(std::string_view head, std::string_view msg) {
        Entry e{std::chrono::system_clock::now(), std::string(head), std::string(msg)};
        {
            std::lock_guard lock(mutex_);
            if (path_.empty() || stop_) return;
            if (queue_.size() >= kMaxPending) {
                ++dropped_;
                return;
            }
            queue_.push_back(std::move(e));
            ++queued_;
        }
        wake_.notify_one();
    }

    void flush() {
        std::unique_lock lock(mutex_);
        const uint64_t target = queued_;
        done_.wait(lock, [&] { return written_ >= target || stop_; });
    }

    // Writes what is queued and ends the writer (process exit).
    void shutdown() {
        {
            std::lock_guard lock(mutex_);
            if (stop_) return;
            stop_ = true;
        }
        wake_.notify_one();
        if (writer_.joinable()) writer_.join();
    }

  private:
    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stop_ || !queue_.empty(); });
            if (queue_.empty() && stop_) break;
            std::deque<Entry> batch;
            batch.swap(queue_);
            const uint64_t dropped = dropped_;
            dropped_ = 0;
            const std::string path = path_;
            lock.unlock();
            writeBatch(path, batch, dropped);
            lock.lock();
            written_ += batch.size();
            done_.notify_all();
        }
        done_.notify_all();
    }

    static void writeBatch(const std::string& path, const std::deque<Entry>& batch,
                           uint64_t dropped) {
        if (path.empty()) return;
        std::string text;
        for (const Entry& e : batch) appendLine(text, e.when, e.head, e.msg);
        if (dropped > 0) {
            appendLine(text, std::chrono::system_clock::now(), "FileLog",
                       std::to_string(dropped) + " lines dropped: the log fell behind");
        }
        // One append per batch: lines stay whole and in queue order.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) return;  // the batch is lost; the next batch tries again
        size_t off = 0;
        while (off < text.size()) {
            const ssize_t n = ::write(fd, text.data() + off, text.size() - off);
            if (n <= 0) break;
            off += static_cast<size_t>(n);
        }
        ::close(fd);
    }

    static void appendLine(std::string& out, std::chrono::system_clock::time_point when,
                           const std::string& head, const std::string& msg) {
        const time_t secs = std::chrono::system_clock::to_time_t(when);
        tm local{};
        localtime_r(&secs, &local);
        out += FormatStamp(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                           local.tm_min, local.tm_sec);
        out += head;
        out += " : ";
        out += msg;
        out += "\r\n";
    }

    std::mutex mutex_;
    std::condition_variable wake_;  // the writer waits for lines or stop
    std::condition_variable done_;  // flush waits for the writer
    std::deque<Entry> queue_;
    std::string path_;
    uint64_t queued_ = 0;
    uint64_t written_ = 0;
    uint64_t dropped_ = 0;
    bool stop_ = false;
    std::thread writer_;  // last member: started once the rest is constructed
};

FileLog& instance() {
    // Never destroyed, so that a line written during exit finds the queue alive; an
    // exit handler writes what is queued and joins the writer.
    static FileLog* log = [] {
        auto* created = new FileLog;
        std::atexit([] { instance().shutdown(); });
        return created;
    }();
    return *log;
}

}  // namespace

void SetPath(std::string path) {
    instance().setPath(std::move(path));
}
std::string Path() {
    return instance().path();
}
void Write(std::string_view head, std::string_view msg) {
    instance().write(head, msg);
}
void Flush() {
    instance().flush();
}

std::string FormatStamp(int year, int month, int day, int hour, int minute, int second) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.4d/%.2d/%.2d [%.2d:%.2d:%.2d] ", year, month, day, hour,
                  minute, second);
    return buf;
}

}  // namespace filelog

}  // namespace tessil
