// Process-wide counters of the engine for the metrics: connections accepted and closed,
// closes by reason. Written by workers and the listener, read by the panel; lock-free.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string_view>

namespace tessil::enginestats {

// Why the message server closed a connection. The names of the metrics follow the order.
enum class TCloseReason : int {
    PeerClosed,      // the client closed or reset the connection
    Requested,       // the server asked for the close (logout, stop, kick)
    Inactive,        // the inactivity time-out of a logged-in client
    Handshake,       // no handshake within its deadline
    Login,           // no login within its deadline
    SlowFrame,       // a frame's header or body not complete within its deadline
    OversizedFrame,  // a frame body above the limit of the connection's phase
    Backlog,         // output not drained (hard limit, or soft limit held too long)
    Flood,           // requests above the sustained rate
    Failed,          // a request's handling raised an error
    Count
};

struct TCounters {
    std::atomic<uint64_t> accepts{0};
    std::atomic<uint64_t> acceptsShed{0};  // taken and closed at once: no descriptor or cap
    std::atomic<uint64_t> closes[static_cast<int>(TCloseReason::Count)]{};
};

TCounters& Counters();

inline void CountAccept() {
    Counters().accepts.fetch_add(1, std::memory_order_relaxed);
}
inline void CountShed() {
    Counters().acceptsShed.fetch_add(1, std::memory_order_relaxed);
}
inline void CountClose(TCloseReason why) {
    Counters().closes[static_cast<int>(why)].fetch_add(1, std::memory_order_relaxed);
}

// Calls fn(name, value) for every counter: "accepts", "accepts_shed", then
// "closes_<reason>" for each reason (snake_case).
void ForEachStat(const std::function<void(std::string_view, uint64_t)>& fn);

}  // namespace tessil::enginestats
