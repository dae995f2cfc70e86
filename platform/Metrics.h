// Process-wide figures for the operations endpoint that are recorded where they happen:
// requests by command with a histogram of their handling time, and collectors that other
// parts register to add their own families (a node name, a cluster state). Record from
// any thread; recording a request takes no exclusive lock once its command word is known.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tessil::metrics {

// Upper bounds of the request-time histogram, in seconds.
inline constexpr std::array<double, 12> kRequestBuckets = {
    0.00005, 0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 1.0};

// One handled request: its command word (anything not in the command table counts as
// "other") and the time its handling took.
void ObserveRequest(std::string_view command, double seconds);

// The Prometheus text of the request families (counts by command, the histogram).
std::string FormatRequests();

// A collector appends whole metric families (with HELP and TYPE) to `out`; it runs on
// the endpoint's threads and must not block. Returns an id for RemoveCollector.
int AddCollector(std::function<void(std::string& out)> fn);
void RemoveCollector(int id);
std::string FormatCollectors();

}  // namespace tessil::metrics

namespace tessil::metrics {

// Times one request from construction to destruction and records it under `command`
// (set once the command word is known).
class RequestTimer {
  public:
    RequestTimer();
    ~RequestTimer();
    RequestTimer(const RequestTimer&) = delete;
    RequestTimer& operator=(const RequestTimer&) = delete;
    std::string command = "other";

  private:
    int64_t startNs_;
};

}  // namespace tessil::metrics
