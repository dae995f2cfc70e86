// Requests by command, the request-time histogram and the registered collectors (see
// Metrics.h). Any thread.
#include "platform/Metrics.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <shared_mutex>

namespace tessil::metrics {

namespace {

// Command words are counted only when they look like one, so a client cannot create
// counters at will; the set of words is also capped.
constexpr size_t kMaxCommands = 64;

bool LooksLikeCommand(std::string_view w) {
    if (w.empty() || w.size() > 16) return false;
    for (char c : w)
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
    return true;
}

// Recorded by every worker for every request: counters are atomics, and the command map
// takes its exclusive lock only to add a word it has not seen.
struct Requests {
    std::shared_mutex mu;  // the map's shape; the counts are atomic
    std::map<std::string, std::atomic<uint64_t>, std::less<>> byCommand;
    // Requests per bucket, not cumulative (the last is above every bound); summed on output.
    std::array<std::atomic<uint64_t>, kRequestBuckets.size() + 1> buckets{};
    std::atomic<uint64_t> sumNs{0};
};

Requests& requests() {
    static auto* r = new Requests;  // never destroyed: workers may record at exit
    return *r;
}

struct Collectors {
    std::mutex mu;
    std::map<int, std::function<void(std::string&)>> fns;
    int next = 1;
};

Collectors& collectors() {
    static auto* c = new Collectors;
    return *c;
}

std::string Number(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.9g", v);
    return buf;
}

}  // namespace

void ObserveRequest(std::string_view command, double seconds) {
    Requests& r = requests();
    std::string_view key = LooksLikeCommand(command) ? command : "other";
    std::atomic<uint64_t>* counter = nullptr;
    {
        std::shared_lock lock(r.mu);
        auto it = r.byCommand.find(key);
        if (it != r.byCommand.end()) counter = &it->second;
    }
    if (counter == nullptr) {
        std::unique_lock lock(r.mu);
        if (r.byCommand.size() >= kMaxCommands && r.byCommand.find(key) == r.byCommand.end())
            key = "other";
        counter = &r.byCommand.try_emplace(std::string(key), 0).first->second;
    }
    counter->fetch_add(1, std::memory_order_relaxed);
    size_t bucket = 0;
    while (bucket < kRequestBuckets.size() && seconds > kRequestBuckets[bucket]) ++bucket;
    r.buckets[bucket].fetch_add(1, std::memory_order_relaxed);
    r.sumNs.fetch_add(static_cast<uint64_t>(seconds * 1e9), std::memory_order_relaxed);
}

std::string FormatRequests() {
    Requests& r = requests();
    std::string out =
        "# HELP tessil_requests_total Requests handled, by command word.\n"
        "# TYPE tessil_requests_total counter\n";
    {
        std::shared_lock lock(r.mu);
        for (auto& [cmd, n] : r.byCommand)
            out += "tessil_requests_total{command=\"" + cmd + "\"} " +
                   std::to_string(n.load(std::memory_order_relaxed)) + "\n";
    }
    out +=
        "# HELP tessil_request_duration_seconds Time to handle one request.\n"
        "# TYPE tessil_request_duration_seconds histogram\n";
    // Read while workers record: the buckets are summed into the count shown, so the
    // histogram stays consistent (+Inf equals the count) whatever arrives meanwhile.
    uint64_t cumulative = 0;
    for (size_t i = 0; i < kRequestBuckets.size(); ++i) {
        cumulative += r.buckets[i].load(std::memory_order_relaxed);
        out += "tessil_request_duration_seconds_bucket{le=\"" + Number(kRequestBuckets[i]) +
               "\"} " + std::to_string(cumulative) + "\n";
    }
    cumulative += r.buckets[kRequestBuckets.size()].load(std::memory_order_relaxed);
    out +=
        "tessil_request_duration_seconds_bucket{le=\"+Inf\"} " + std::to_string(cumulative) + "\n";
    out += "tessil_request_duration_seconds_sum " +
           Number(static_cast<double>(r.sumNs.load(std::memory_order_relaxed)) / 1e9) + "\n";
    out += "tessil_request_duration_seconds_count " + std::to_string(cumulative) + "\n";
    return out;
}

int AddCollector(std::function<void(std::string& out)> fn) {
    Collectors& c = collectors();
    std::lock_guard lock(c.mu);
    const int id = c.next++;
    c.fns.emplace(id, std::move(fn));
    return id;
}

void RemoveCollector(int id) {
    Collectors& c = collectors();
    std::lock_guard lock(c.mu);
    c.fns.erase(id);
}

std::string FormatCollectors() {
    Collectors& c = collectors();
    std::lock_guard lock(c.mu);
    std::string out;
    for (auto& [id, fn] : c.fns) fn(out);
    return out;
}

}  // namespace tessil::metrics

namespace tessil::metrics {

namespace {
int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
}  // namespace

RequestTimer::RequestTimer() : startNs_(NowNs()) {}

RequestTimer::~RequestTimer() {
    ObserveRequest(command, static_cast<double>(NowNs() - startNs_) / 1e9);
}

}  // namespace tessil::metrics
