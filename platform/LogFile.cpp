// The log file's writer thread, rate limit and size cap (see LogFile.h). Append from any
// thread; the file is touched only by the writer thread (and Touch).
#include "platform/LogFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include "platform/Settings.h"

namespace tessil {

TLogFileLimits TLogFileLimits::FromSettings() {
    TLogFileLimits l;
    l.maxBytes =
        static_cast<uint64_t>(settings::Int("Limits", "LogFileBytes", 64ll << 20, 0, 1ll << 40));
    l.linesPerSecond =
        static_cast<uint32_t>(settings::Int("Limits", "LogLinesPerSecond", 50, 0, 1000000));
    return l;
}

namespace {

// Every log file alive, for FlushAll.
struct Registry {
    std::mutex mu;
    std::set<TLogFile*> files;
};

Registry& registry() {
    static auto* r = new Registry;  // never destroyed: log files may outlive statics
    return *r;
}

}  // namespace

namespace {
// A batch this long is written without waiting out the batch delay.
constexpr size_t kBatchLines = 512;
}  // namespace

void TLogFile::FlushAll() {
    Registry& r = registry();
    std::lock_guard lock(r.mu);
    for (TLogFile* f : r.files) f->Flush();
}

TLogFile::TLogFile(std::function<std::string(std::string_view)> formatNote, const char* refusalName)
    : formatNote_(std::move(formatNote)), refusalName_(refusalName), writer_([this] { Run(); }) {
    Registry& r = registry();
    std::lock_guard lock(r.mu);
    r.files.insert(this);
}

TLogFile::~TLogFile() {
    {
        Registry& r = registry();
        std::lock_guard lock(r.mu);
        r.files.erase(this);
    }
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    if (writer_.joinable()) writer_.join();
    CloseFile();
}

void TLogFile::SetPath(std::string path) {
    std::unique_lock lock(mutex_);
    path_ = std::move(path);
    pathChanged_ = true;
    const uint64_t change = ++pathChanges_;
    wake_.notify_one();
    // Returns once the writer holds the file: a line logged later, even one about the
    // descriptor table being full, then has a file to go to.
    done_.wait(lock, [&] { return pathsApplied_ >= change || stop_; });
}

void TLogFile::SetDescriptor(int fd) {
    std::lock_guard lock(mutex_);
    outFd_ = fd;
}

void TLogFile::SetBatchDelay(std::chrono::milliseconds delay) {
    std::lock_guard lock(mutex_);
    batchDelay_ = delay;
}

std::string TLogFile::Path() {
    std::lock_guard lock(mutex_);
    return path_;
}

void TLogFile::SetLimits(TLogFileLimits limits) {
    std::lock_guard lock(mutex_);
    limits_ = limits;
}

bool TLogFile::Admit(std::string_view kind, std::chrono::steady_clock::time_point now) {
    if (limits_.linesPerSecond == 0) return true;
    auto it = kinds_.find(kind);
    if (it == kinds_.end()) {
        // Kinds come from the code, not from clients; the cap only guards against a kind
        // built from changing text.
        if (kinds_.size() >= 1024) kinds_.clear();
        it = kinds_.try_emplace(std::string(kind)).first;
        it->second.tokens = limits_.linesPerSecond;
        it->second.refill = now;
    }
    Kind& k = it->second;
    const double rate = limits_.linesPerSecond;
    k.tokens =
        std::min(rate, k.tokens + rate * std::chrono::duration<double>(now - k.refill).count());
    k.refill = now;
    if (k.tokens >= 1) {
        k.tokens -= 1;
        // The count of lines left out goes in at most once a second.
        if (k.refused > 0 && now - k.lastNote >= std::chrono::seconds(1)) {
            k.lastNote = now;
            queue_.push_back(formatNote_(std::string(kind) + ": " + std::to_string(k.refused) +
                                         " lines of this kind were not written (rate limit)") +
                             "\r\n");
            ++queued_;
            k.refused = 0;
        }
        return true;
    }
    ++k.refused;
    limits::CountRefusal(refusalName_);
    if (k.episode.Begin()) {
        queue_.push_back(formatNote_(std::string(kind) + ": more than " +
                                     std::to_string(limits_.linesPerSecond) +
                                     " lines a second; further lines of this kind are counted, "
                                     "not written") +
                         "\r\n");
        ++queued_;
    }
    return false;
}

void TLogFile::Append(std::string_view kind, std::string line) {
    {
        std::lock_guard lock(mutex_);
        if ((path_.empty() && outFd_ < 0) || stop_) return;
        line += outFd_ >= 0 ? "\n" : "\r\n";
        if (!Admit(kind, std::chrono::steady_clock::now())) return;
        if (queue_.size() >= limits_.maxPending) {
            ++dropped_;
            return;
        }
        queue_.push_back(std::move(line));
        ++queued_;
        // An idle writer waits for a first line; a busy one for its delay or a full batch.
        if (!(writerIdle_ && queue_.size() == 1) && queue_.size() != kBatchLines) return;
    }
    wake_.notify_one();
}

void TLogFile::Flush() {
    std::unique_lock lock(mutex_);
    const uint64_t target = queued_;
    flushWanted_ = true;
    wake_.notify_one();
    done_.wait(lock, [&] { return written_ >= target || stop_; });
}

bool TLogFile::Touch(const std::string& path, bool truncate, std::string* error) {
    const int fd = ::open(path.c_str(),
                          O_WRONLY | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : O_APPEND), 0644);
    if (fd < 0) {
        if (error) *error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    ::close(fd);
    return true;
}

void TLogFile::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (!stop_ && !pathChanged_ && queue_.empty()) {
            // Only an idle writer is woken by a new line.
            writerIdle_ = true;
            wake_.wait(lock, [&] { return stop_ || pathChanged_ || !queue_.empty(); });
            writerIdle_ = false;
        }
        if (batchDelay_.count() > 0 && !stop_ && !pathChanged_ && !flushWanted_ &&
            queue_.size() < kBatchLines) {
            // Lines gather for a while, also after each batch while lines keep coming: a
            // busy log costs the threads that add lines no wake-up at all.
            wake_.wait_for(lock, batchDelay_, [&] {
                return stop_ || pathChanged_ || flushWanted_ || queue_.size() >= kBatchLines;
            });
        }
        flushWanted_ = false;
        if (queue_.empty() && stop_) break;
        if (pathChanged_) {
            // Opened now, while descriptors are at hand, so a later line (one about the
            // descriptor table being full, say) still has its file.
            pathChanged_ = false;
            const std::string path = path_;
            const uint64_t change = pathChanges_;
            lock.unlock();
            if (path.empty()) {
                CloseFile();
            } else {
                OpenCurrent(path);
            }
            lock.lock();
            pathsApplied_ = change;
            done_.notify_all();
            continue;
        }
        std::deque<std::string> batch;
        batch.swap(queue_);
        const uint64_t dropped = dropped_;
        dropped_ = 0;
        const std::string path = path_;
        const int fd = outFd_;
        lock.unlock();
        std::string text;
        for (const std::string& line : batch) text += line;
        if (dropped > 0)
            text += formatNote_(std::to_string(dropped) + " lines dropped: the log fell behind") +
                    (fd >= 0 ? "\n" : "\r\n");
        WriteBatch(path, fd, text);
        lock.lock();
        written_ += batch.size();
        done_.notify_all();
    }
    done_.notify_all();
}

void TLogFile::WriteBatch(const std::string& path, int fd, std::string& text) {
    if (fd >= 0) {
        size_t off = 0;
        while (off < text.size()) {
            const ssize_t n = ::write(fd, text.data() + off, text.size() - off);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            off += static_cast<size_t>(n);
        }
        return;
    }
    if (path.empty()) return;
    uint64_t maxBytes;
    {
        std::lock_guard lock(mutex_);
        maxBytes = limits_.maxBytes;
    }
    // One append per batch: lines stay whole and in queue order.
    if (!OpenCurrent(path)) return;  // the batch is lost; the next batch tries again
    struct stat st {};
    if (maxBytes > 0 && ::fstat(fd_, &st) == 0 && st.st_size > 0 &&
        static_cast<uint64_t>(st.st_size) + text.size() > maxBytes) {
        // Full: the file becomes NAME.1 (replacing an older one) and a new file begins.
        CloseFile();
        std::rename(path.c_str(), (path + ".1").c_str());
        if (!OpenCurrent(path)) return;
    }
    size_t off = 0;
    while (off < text.size()) {
        const ssize_t n = ::write(fd_, text.data() + off, text.size() - off);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
    }
}

bool TLogFile::OpenCurrent(const std::string& path) {
    struct stat byName {};
    if (fd_ >= 0) {
        const bool same = path == openPath_ && ::stat(path.c_str(), &byName) == 0 &&
                          static_cast<uint64_t>(byName.st_dev) == openDev_ &&
                          static_cast<uint64_t>(byName.st_ino) == openIno_;
        if (same) return true;
        CloseFile();
    }
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0) return false;
    struct stat opened {};
    if (::fstat(fd_, &opened) != 0) {
        CloseFile();
        return false;
    }
    openPath_ = path;
    openDev_ = static_cast<uint64_t>(opened.st_dev);
    openIno_ = static_cast<uint64_t>(opened.st_ino);
    return true;
}

void TLogFile::CloseFile() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    openPath_.clear();
}

}  // namespace tessil
