// Watches channels' inactivity time-outs in tacts of one second since the engine started.
// Owned by the reactor while it is on; runs one thread of its own (scan, then a short
// wait); registrations and cancellations come from reactor workers.
//
// Every watched or waiting entry holds one rtTimerEngine reference on its channel. An
// expired channel leaves the list and is handed to the sink (the reactor), its reference
// travelling with the timer message. CancelNotify always takes effect, so a closed
// channel is not kept alive until its time-out tact.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "iocpengine/DnRuntime.h"

namespace tessil {

class TDnTcpChannel;

class IDnTimerSupport {
  public:
    virtual ~IDnTimerSupport() = default;
    // Called on the timer thread for each expired channel.
    virtual void PostTimerMessage(TDnTcpChannel* channel) = 0;
};

class TDnTimerEngine {
  public:
    // Monotonic milliseconds; tests inject a clock they control.
    using TClock = std::function<int64_t()>;

    explicit TDnTimerEngine(TClock clock = {});
    ~TDnTimerEngine();
    TDnTimerEngine(const TDnTimerEngine&) = delete;
    TDnTimerEngine& operator=(const TDnTimerEngine&) = delete;

    void SetTimerSink(IDnTimerSupport* sink) { sink_ = sink; }
    bool Active();
    // On: starts the thread. Off: stops it and releases every entry's reference.
    void SetActive(bool value);

    uint32_t CurrentTact() const { return currentTact_.load(std::memory_order_relaxed); }
    void UpdateCurrentTact();
    // The tact of this instant, read from the clock (CurrentTact is the last scan's).
    uint32_t TactNow() const;
    // tacts 0 only cancels. Otherwise takes a reference and watches the channel until
    // current tact + tacts.
    void RequestTimerNotify(TDnTcpChannel* channel, uint32_t tacts, void* key = nullptr);
    void CancelNotify(TDnTcpChannel* channel);
    // One pass: update the tact, expire, merge registrations and cancellations. The
    // thread calls it; tests may call it directly.
    void Scan();
    // Makes the thread scan now instead of at its next wake-up.
    void Wake();

    size_t WatchedCount();

  private:
    class TDnTimerThread;
    void ReleaseAll(std::vector<TDnTcpChannel*>& list);

    TClock clock_;
    int64_t startMs_;
    IDnTimerSupport* sink_ = nullptr;
    std::atomic<uint32_t> currentTact_{0};
    std::mutex scanMu_;  // one scan at a time (thread or test)
    std::vector<TDnTcpChannel*> watched_;
    std::mutex guard_;
    std::vector<TDnTcpChannel*> newList_;
    std::vector<TDnTcpChannel*> oldList_;
    std::unique_ptr<TDnTimerThread> thread_;
    bool active_ = false;
    std::mutex activeMu_;
};

}  // namespace tessil
