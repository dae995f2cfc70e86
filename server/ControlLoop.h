// The control thread: one thread that runs the buttons, the periodic timers and the close
// sequence in order. Owned by the process entry; other threads only post work to it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tessil {

class ControlLoop {
  public:
    using Task = std::function<void()>;
    using Millis = std::chrono::milliseconds;

    ControlLoop() = default;
    ~ControlLoop();
    ControlLoop(const ControlLoop&) = delete;
    ControlLoop& operator=(const ControlLoop&) = delete;

    // Runs the loop on a thread of its own until Quit (tests and the panel mode).
    void StartThread();
    // Runs the loop on the calling thread until Quit.
    void Run();
    // Stops the loop after the task that is running; pending tasks are dropped.
    void Quit();
    // Joins the thread started by StartThread (no-op otherwise).
    void Join();

    // Queues a task; any thread. Tasks posted after Quit are dropped.
    void Post(Task task);
    // Runs the task on the loop and waits for it; false when the loop has quit or the
    // task did not finish within the limit (a task dropped by Quit ends the wait at once).
    // On the loop thread itself the task runs at once.
    bool Call(Task task, Millis limit);

    // A periodic timer; its first tick comes one period after it is enabled. Returns an id.
    int AddTimer(Millis period, Task tick, bool enabled = true);
    void SetTimerEnabled(int id, bool enabled);

    // Loop thread only: waits for the given time while still running due timer ticks,
    // so counters keep moving during the pauses of STOP and of the close sequence.
    // Posted tasks (button presses) wait until the current one has finished.
    void Pump(Millis duration);

    bool InLoopThread() const { return std::this_thread::get_id() == loopId_; }

  private:
    using Clock = std::chrono::steady_clock;
    struct Timer {
        Millis period;
        Task tick;
        bool enabled;
        Clock::time_point due;
    };

    // Runs the timers that are due; called with mu_ held, releases it around each tick.
    void RunDueTimers(std::unique_lock<std::mutex>& lock);
    Clock::time_point NextDue() const;

    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<Task> tasks_;
    std::vector<Timer> timers_;
    bool quit_ = false;
    std::thread thread_;
    std::atomic<std::thread::id> loopId_{};
};

}  // namespace tessil
