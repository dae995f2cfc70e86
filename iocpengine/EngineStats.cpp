// The engine's process-wide counters and their names for the metrics. Any thread.
#include "iocpengine/EngineStats.h"

#include <string>

namespace tessil::enginestats {

namespace {
constexpr const char* kCloseNames[] = {
    "closes_peer_closed", "closes_requested",  "closes_inactive",        "closes_handshake",
    "closes_login",       "closes_slow_frame", "closes_oversized_frame", "closes_backlog",
    "closes_flood",       "closes_failed",
};
static_assert(std::size(kCloseNames) == static_cast<size_t>(TCloseReason::Count));
}  // namespace

TCounters& Counters() {
    static TCounters counters;
    return counters;
}

void ForEachStat(const std::function<void(std::string_view, uint64_t)>& fn) {
    TCounters& c = Counters();
    fn("accepts", c.accepts.load(std::memory_order_relaxed));
    fn("accepts_shed", c.acceptsShed.load(std::memory_order_relaxed));
    for (int i = 0; i < static_cast<int>(TCloseReason::Count); ++i)
        fn(kCloseNames[i], c.closes[i].load(std::memory_order_relaxed));
}

}  // namespace tessil::enginestats
