// The control thread's task queue and timers (see ControlLoop.h). Owned by the process
// entry; Post, Call and SetTimerEnabled may be called from any thread.
#include "server/ControlLoop.h"

#include <future>
#include <memory>

namespace tessil {

ControlLoop::~ControlLoop() {
    Quit();
    Join();
}

void ControlLoop::StartThread() {
    thread_ = std::thread([this] { Run(); });
}

void ControlLoop::Join() {
    if (thread_.joinable() && std::this_thread::get_id() != thread_.get_id()) thread_.join();
}

void ControlLoop::Quit() {
    std::lock_guard lock(mu_);
    quit_ = true;
    tasks_.clear();
    cv_.notify_all();
}

void ControlLoop::Post(Task task) {
    std::lock_guard lock(mu_);
    if (quit_) return;
    tasks_.push_back(std::move(task));
    cv_.notify_all();
}

bool ControlLoop::Call(Task task, Millis limit) {
    if (InLoopThread()) {
        task();
        return true;
    }
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    {
        std::lock_guard lock(mu_);
        if (quit_) return false;
        // The queue holds the only reference to the promise, so dropping the task
        // breaks it and ends the wait below.
        tasks_.push_back([task = std::move(task), done = std::move(done)] {
            task();
            done->set_value();
        });
        cv_.notify_all();
    }
    if (finished.wait_for(limit) != std::future_status::ready) return false;
    try {
        finished.get();  // a task dropped by Quit breaks its promise
        return true;
    } catch (const std::future_error&) {
        return false;
    }
}

int ControlLoop::AddTimer(Millis period, Task tick, bool enabled) {
    std::lock_guard lock(mu_);
    timers_.push_back(Timer{period, std::move(tick), enabled, Clock::now() + period});
    cv_.notify_all();
    return static_cast<int>(timers_.size()) - 1;
}

void ControlLoop::SetTimerEnabled(int id, bool enabled) {
    std::lock_guard lock(mu_);
    if (id < 0 || id >= static_cast<int>(timers_.size())) return;
    Timer& t = timers_[id];
    if (enabled && !t.enabled) t.due = Clock::now() + t.period;
    t.enabled = enabled;
    cv_.notify_all();
}

ControlLoop::Clock::time_point ControlLoop::NextDue() const {
    auto next = Clock::time_point::max();
    for (const Timer& t : timers_)
        if (t.enabled && t.due < next) next = t.due;
    return next;
}

void ControlLoop::RunDueTimers(std::unique_lock<std::mutex>& lock) {
    auto now = Clock::now();
    for (size_t i = 0; i < timers_.size() && !quit_; ++i) {
        if (!timers_[i].enabled || timers_[i].due > now) continue;
        timers_[i].due = now + timers_[i].period;
        Task tick = timers_[i].tick;  // a copy: AddTimer may grow the vector meanwhile
        lock.unlock();
        tick();
        lock.lock();
    }
}

void ControlLoop::Run() {
    std::unique_lock lock(mu_);
    loopId_ = std::this_thread::get_id();
    while (!quit_) {
        RunDueTimers(lock);
        if (quit_) break;
        if (!tasks_.empty()) {
            Task task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
            lock.lock();
            continue;
        }
        cv_.wait_until(lock, NextDue());
    }
}

void ControlLoop::Pump(Millis duration) {
    auto until = Clock::now() + duration;
    std::unique_lock lock(mu_);
    while (!quit_ && Clock::now() < until) {
        RunDueTimers(lock);
        auto next = NextDue();
        cv_.wait_until(lock, next < until ? next : until);
    }
}

}  // namespace tessil
