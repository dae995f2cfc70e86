// The control panel: an HTTP server that serves the window as a web page, pushes its
// counters and log lines as server-sent events, turns button presses into tasks on the
// control thread, and (unless the operations endpoint is elsewhere) serves /metrics and
// /healthz. Owned by the process entry; its requests run on a bounded pool of its own
// (TGuardedHttp), so the page stays live while the control thread waits.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "server/panel/GuardedHttp.h"

namespace tessil {

class ControlLoop;
class IFormControl;

struct PanelOptions {
    std::string host = "127.0.0.1";
    uint16_t port = 29998;  // 0: any free port
    std::string token;      // when set, every request must carry it (header only)
    bool serveOps = true;   // /metrics and /healthz here too
    THttpLimits limits;
};

class PanelServer {
  public:
    // `requestClose` starts the close sequence (the "Close" control); it must not block.
    PanelServer(IFormControl& form, ControlLoop& loop, std::function<void()> requestClose,
                PanelOptions options);
    ~PanelServer();
    PanelServer(const PanelServer&) = delete;
    PanelServer& operator=(const PanelServer&) = delete;

    // Binds and starts serving; false with a reason when the address cannot be bound.
    bool Start(std::string* error);
    // Ends every event stream (after a last update) and stops serving.
    void Stop();
    uint16_t BoundPort() const { return http_.Port(); }
    // "127.0.0.1:29998" as bound.
    std::string BoundAddress() const { return http_.Address(); }

    // Any thread, never blocks long: wakes the event streams (hooked to the form).
    void NotifyChanged();

  private:
    struct Stream;
    void Routes();
    // One step of an event stream: waits for news (or a keep-alive time) and writes it.
    bool StreamStep(Stream& s, std::string& out);
    std::string ViewJson() const;

    IFormControl& form_;
    ControlLoop& loop_;
    std::function<void()> requestClose_;
    const PanelOptions options_;
    TGuardedHttp http_;
    int logSubscription_ = -1;

    // Wakes the event streams: a change of the view, new log lines, a clear, or Stop.
    // Every request adds a log line, so a change is counted without the lock and wakes
    // through it only while a stream waits for one (waiters_ and changes_ are sequentially
    // consistent: a stream that starts waiting after a change was counted sees it).
    void countChange(bool cleared);
    std::mutex mu_;
    std::condition_variable cv_;
    std::atomic<uint64_t> changes_{0};
    std::atomic<uint64_t> clears_{0};
    std::atomic<int> waiters_{0};
    bool stopping_ = false;
};

}  // namespace tessil
