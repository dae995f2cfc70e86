// Refusal counters in a map that only grows, and the episode clock.
#include "platform/LimitEvents.h"

#include <map>
#include <memory>
#include <mutex>

namespace tessil::limits {
namespace {

std::mutex gMutex;
std::map<std::string, std::unique_ptr<std::atomic<uint64_t>>>& Counters() {
    static auto* counters = new std::map<std::string, std::unique_ptr<std::atomic<uint64_t>>>;
    return *counters;
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void CountRefusal(const char* limit, uint64_t n) {
    std::atomic<uint64_t>* counter;
    {
        std::lock_guard lock(gMutex);
        auto& slot = Counters()[limit];
        if (!slot) slot = std::make_unique<std::atomic<uint64_t>>(0);
        counter = slot.get();
    }
    counter->fetch_add(n, std::memory_order_relaxed);
}

void ForEachRefusal(const std::function<void(const std::string&, uint64_t)>& fn) {
    std::lock_guard lock(gMutex);
    for (const auto& [name, count] : Counters()) fn(name, count->load(std::memory_order_relaxed));
}

bool TEpisode::Begin() {
    const int64_t now = NowMs();
    const int64_t last = lastMs_.exchange(now, std::memory_order_acq_rel);
    if (now - last >= quietMs_) {
        suppressed_.store(0, std::memory_order_relaxed);
        return true;
    }
    suppressed_.fetch_add(1, std::memory_order_relaxed);
    return false;
}

}  // namespace tessil::limits
