// One timer thread that runs delayed work (the reply path's delayed closes, for one).
// Owned by its creator; ScheduleAfter and Cancel are called from any thread.
#include "platform/Scheduler.h"

#include <exception>

#include "platform/AppLog.h"

namespace tessil {

Scheduler::Scheduler() : thread_([this] { run(); }) {}

Scheduler::~Scheduler() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

Scheduler& Scheduler::Shared() {
    // Never destroyed: work scheduled by objects with static lifetime may still be queued
    // while the process exits, and the thread must not be joined from a static destructor.
    static Scheduler* instance = new Scheduler();
    return *instance;
}

Scheduler::TaskId Scheduler::ScheduleAfter(int64_t ms, std::function<void()> fn) {
    const auto due = Clock::now() + std::chrono::milliseconds(ms > 0 ? ms : 0);
    TaskId id;
    bool first;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        id = nextId_++;
        entries_.emplace(Key{due, id}, std::move(fn));
        dueById_.emplace(id, due);
        first = entries_.begin()->first.id == id;
    }
    if (first) wake_.notify_all();
    return id;
}

bool Scheduler::Cancel(TaskId id) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = dueById_.find(id);
    if (it != dueById_.end()) {
        entries_.erase(Key{it->second, id});
        dueById_.erase(it);
        return true;
    }
    if (running_ == id && std::this_thread::get_id() != thread_.get_id()) {
        finished_.wait(lock, [&] { return running_ != id; });
    }
    return false;
}

size_t Scheduler::Pending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

void Scheduler::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (entries_.empty()) {
            wake_.wait(lock);
            continue;
        }
        auto first = entries_.begin();
        // A copy: the entry may be cancelled (and its node freed) while this thread waits.
        const Clock::time_point due = first->first.due;
        if (due > Clock::now()) {
            wake_.wait_until(lock, due);
            continue;
        }
        const TaskId id = first->first.id;
        std::function<void()> fn = std::move(first->second);
        entries_.erase(first);
        dueById_.erase(id);
        running_ = id;
        lock.unlock();
        try {
            fn();
        } catch (const std::exception& e) {
            filelog::Write("Scheduler", e.what());
        } catch (...) {
            filelog::Write("Scheduler", "unknown error");
        }
        // The function's captures (client records, for one) are released before the
        // entry counts as finished, so Cancel's caller sees them gone.
        fn = nullptr;
        lock.lock();
        running_ = 0;
        finished_.notify_all();
    }
}

}  // namespace tessil
