// One timer thread that runs delayed work: ScheduleAfter(ms, fn) and Cancel(id).
// Owned by whoever creates it (the process uses Shared()); any thread schedules or cancels.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace tessil {

// Runs each scheduled function once, on the scheduler's own thread, when its time has
// come. Callers never wait: scheduling only queues an entry. Functions run one at a time
// and must not block for long (they queue sends or start closes). An exception thrown by
// a function is caught and written to the file log.
class Scheduler {
  public:
    using TaskId = uint64_t;

    Scheduler();
    // Stops the thread; entries that have not run yet are dropped without running.
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // The process-wide scheduler (created on first use, lives until process exit).
    static Scheduler& Shared();

    // Runs fn after at least max(ms, 0) milliseconds. Returns an id for Cancel (never 0).
    TaskId ScheduleAfter(int64_t ms, std::function<void()> fn);

    // Removes the entry if it has not started: true. If it is running right now on the
    // scheduler thread, waits until it has finished (unless called from inside that very
    // function) and returns false. An id that already ran or is unknown: false.
    bool Cancel(TaskId id);

    // Number of entries waiting to run (tests).
    size_t Pending() const;

  private:
    using Clock = std::chrono::steady_clock;
    struct Key {
        Clock::time_point due;
        TaskId id;
        bool operator<(const Key& o) const { return due != o.due ? due < o.due : id < o.id; }
    };

    void run();

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable finished_;
    std::map<Key, std::function<void()>> entries_;
    std::map<TaskId, Clock::time_point> dueById_;
    TaskId nextId_ = 1;
    TaskId running_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace tessil
