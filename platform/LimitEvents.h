// What happens when a bound is reached: a process-wide count of refusals per limit (read
// by the metrics) and the episode rule that makes a bound cost one log line per episode,
// not one per event. Called from any thread; counting takes one short lock.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace tessil::limits {

// Adds one refusal to the counter named `limit` (a short snake_case name such as
// "connections_per_address"). The name must be a string literal or otherwise outlive the
// process: counters are created on first use and never freed.
void CountRefusal(const char* limit, uint64_t n = 1);

// Calls fn(limit, count) for every counter created so far, in name order.
void ForEachRefusal(const std::function<void(const std::string&, uint64_t)>& fn);

// One episode of a bound being reached. Begin() is called at every event and returns true
// for the first event of an episode, the moment to write the one log line; an episode
// ends when no event came for `quiet`. Suppressed() tells how many events the episode had
// after its first, for a closing line if the caller wants one.
class TEpisode {
  public:
    explicit TEpisode(std::chrono::milliseconds quiet = std::chrono::seconds(10))
        : quietMs_(quiet.count()) {}
    bool Begin();
    uint64_t Suppressed() const { return suppressed_.load(std::memory_order_relaxed); }

  private:
    const int64_t quietMs_;
    std::atomic<int64_t> lastMs_{INT64_MIN / 2};
    std::atomic<uint64_t> suppressed_{0};
};

}  // namespace tessil::limits
