// Event and semaphore on a mutex and a condition variable.
// Called from any thread.
#include "platform/Event.h"

#include <chrono>

namespace tessil::platform {

void Event::Set() {
    std::lock_guard lock(mu_);
    signaled_ = true;
    if (manualReset_)
        cv_.notify_all();
    else
        cv_.notify_one();
}

void Event::Reset() {
    std::lock_guard lock(mu_);
    signaled_ = false;
}

void Event::Pulse() {
    std::lock_guard lock(mu_);
    ++pulses_;
    signaled_ = false;
    cv_.notify_all();
}

bool Event::Wait(uint32_t timeoutMs) {
    std::unique_lock lock(mu_);
    const uint64_t pulse = pulses_;
    auto ready = [&] { return signaled_ || pulses_ != pulse; };
    bool ok;
    if (timeoutMs == kWaitInfinite) {
        cv_.wait(lock, ready);
        ok = true;
    } else {
        ok = cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
    }
    if (ok && signaled_ && !manualReset_) signaled_ = false;
    return ok;
}

bool Semaphore::Wait(uint32_t timeoutMs) {
    std::unique_lock lock(mu_);
    auto ready = [&] { return count_ > 0; };
    if (timeoutMs == kWaitInfinite)
        cv_.wait(lock, ready);
    else if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready))
        return false;
    --count_;
    return true;
}

bool Semaphore::Release() {
    std::lock_guard lock(mu_);
    if (count_ >= max_) return false;
    ++count_;
    cv_.notify_one();
    return true;
}

}  // namespace tessil::platform
