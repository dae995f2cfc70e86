// Waitable event (auto- or manual-reset) and counting semaphore with time-outs.
// Owned by their users; Set/Release and the waits may be called from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace tessil::platform {

inline constexpr uint32_t kWaitInfinite = 0xFFFFFFFFu;

class Event {
  public:
    explicit Event(bool manualReset = false, bool initialState = false)
        : manualReset_(manualReset), signaled_(initialState) {}
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();
    // Wakes the waiters present now and leaves the event non-signalled.
    void Pulse();
    // True when signalled within timeoutMs (kWaitInfinite: no limit). An auto-reset
    // event is reset by the wait that sees it.
    bool Wait(uint32_t timeoutMs = kWaitInfinite);

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool manualReset_;
    bool signaled_;
    uint64_t pulses_ = 0;
};

class Semaphore {
  public:
    Semaphore(int32_t initial, int32_t maximum) : count_(initial), max_(maximum) {}
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    bool Wait(uint32_t timeoutMs = kWaitInfinite);
    // Adds one unless the maximum is reached; false then.
    bool Release();

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    int32_t count_;
    int32_t max_;
};

}  // namespace tessil::platform
