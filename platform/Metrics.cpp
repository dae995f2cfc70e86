// Requests by command, the request-time histogram and the registered collectors (see
// Metrics.h). Any thread.
#include "platform/Metrics.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>

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

struct Requests {
    std::mutex mu;
    std::map<std::string, uint64_t, std::less<>> byCommand;
    std::array<uint64_t, kRequestBuckets.size()> buckets{};
    uint64_t count = 0;
    double sum = 0;
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
    std::lock_guard lock(r.mu);
    std::string_view key = LooksLikeCommand(command) ? command : "other";
    auto it = r.byCommand.find(key);
    if (it == r.byCommand.end()) {
        if (r.byCommand.size() >= kMaxCommands) key = "other";
        it = r.byCommand.try_emplace(std::string(key), 0).first;
    }
    ++it->second;
    for (size_t i = 0; i < kRequestBuckets.size(); ++i)
        if (seconds <= kRequestBuckets[i]) ++r.buckets[i];
    ++r.count;
    r.sum += seconds;
}

std::string FormatRequests() {
    Requests& r = requests();
    std::lock_guard lock(r.mu);
    std::string out =
        "# HELP tessil_requests_total Requests handled, by command word.\n"
        "# TYPE tessil_requests_total counter\n";
    for (auto& [cmd, n] : r.byCommand)
        out += "tessil_requests_total{command=\"" + cmd + "\"} " + std::to_string(n) + "\n";
    out +=
        "# HELP tessil_request_duration_seconds Time to handle one request.\n"
        "# TYPE tessil_request_duration_seconds histogram\n";
    for (size_t i = 0; i < kRequestBuckets.size(); ++i)
        out += "tessil_request_duration_seconds_bucket{le=\"" + Number(kRequestBuckets[i]) +
               "\"} " + std::to_string(r.buckets[i]) + "\n";
    out += "tessil_request_duration_seconds_bucket{le=\"+Inf\"} " + std::to_string(r.count) + "\n";
    out += "tessil_request_duration_seconds_sum " + Number(r.sum) + "\n";
    out += "tessil_request_duration_seconds_count " + std::to_string(r.count) + "\n";
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
