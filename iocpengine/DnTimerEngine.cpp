// Timer engine and its thread. Scan on the timer thread (or a test); registrations and
// cancellations from reactor workers; SetActive from the reactor's owner.
#include "iocpengine/DnTimerEngine.h"

#include <algorithm>
#include <chrono>

#include "iocpengine/DnTcpChannel.h"

namespace tessil {

namespace {
constexpr uint32_t kScanIntervalMs = 100;

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
}  // namespace

class TDnTimerEngine::TDnTimerThread : public TDnThread {
  public:
    explicit TDnTimerThread(TDnTimerEngine* timer) : timer_(timer) {}
    ~TDnTimerThread() override { WaitFor(); }
    platform::Event& TerminateSignal() { return terminateSignal_; }
    platform::Event& WakeSignal() { return wake_; }

  protected:
    void CreateContext() override {}
    void DestroyContext() override {}
    void ThreadRoutine() override {
        while (!Terminated()) {
            timer_->Scan();
            wake_.Wait(kScanIntervalMs);
        }
    }

  private:
    TDnTimerEngine* timer_;
    platform::Event terminateSignal_{true, false};
    platform::Event wake_{false, false};
};

TDnTimerEngine::TDnTimerEngine(TClock clock) : clock_(clock ? std::move(clock) : TClock(SteadyMs)) {
    startMs_ = clock_();
}

TDnTimerEngine::~TDnTimerEngine() {
    SetActive(false);
}

bool TDnTimerEngine::Active() {
    std::lock_guard lock(activeMu_);
    return active_;
}

void TDnTimerEngine::SetActive(bool value) {
    std::lock_guard lock(activeMu_);
    if (value && !active_) {
        UpdateCurrentTact();
        thread_ = std::make_unique<TDnTimerThread>(this);
        thread_->Run();
        active_ = true;
    } else if (!value && active_) {
        thread_->Terminate();
        thread_->TerminateSignal().Set();
        thread_->WakeSignal().Set();
        thread_->WaitFor();
        thread_.reset();
        std::vector<TDnTcpChannel*> all;
        {
            std::lock_guard scan(scanMu_);
            all.swap(watched_);
        }
        {
            std::lock_guard g(guard_);
            all.insert(all.end(), newList_.begin(), newList_.end());
            newList_.clear();
            oldList_.clear();
        }
        ReleaseAll(all);
        active_ = false;
    }
}

void TDnTimerEngine::ReleaseAll(std::vector<TDnTcpChannel*>& list) {
    for (TDnTcpChannel* c : list) c->Release(rtTimerEngine);
    list.clear();
}

uint32_t TDnTimerEngine::TactNow() const {
    const int64_t elapsed = clock_() - startMs_;
    // Whole seconds, rounded to the nearest.
    return static_cast<uint32_t>(elapsed <= 0 ? 0 : (elapsed + 500) / 1000);
}

void TDnTimerEngine::UpdateCurrentTact() {
    currentTact_.store(TactNow(), std::memory_order_relaxed);
}

void TDnTimerEngine::RequestTimerNotify(TDnTcpChannel* channel, uint32_t tacts, void*) {
    if (tacts == 0) {
        CancelNotify(channel);
        return;
    }
    channel->AddRef(rtTimerEngine);
    channel->SetTimeoutTact(TactNow() + tacts);
    try {
        std::lock_guard lock(guard_);
        newList_.push_back(channel);
    } catch (...) {
        // The channel is simply not watched.
        channel->Release(rtTimerEngine);
    }
}

void TDnTimerEngine::CancelNotify(TDnTcpChannel* channel) {
    bool dropped = false;
    {
        std::lock_guard lock(guard_);
        auto it = std::find(newList_.begin(), newList_.end(), channel);
        if (it != newList_.end()) {
            newList_.erase(it);
            dropped = true;
        } else {
            oldList_.push_back(channel);
        }
    }
    if (dropped) channel->Release(rtTimerEngine);
}

void TDnTimerEngine::Scan() {
    std::lock_guard scan(scanMu_);
    UpdateCurrentTact();
    const uint32_t now = CurrentTact();
    for (size_t i = 0; i < watched_.size();) {
        TDnTcpChannel* c = watched_[i];
        if (static_cast<int32_t>(c->TimeoutTact() - now) > 0) {
            ++i;
            continue;
        }
        c->SetTimeoutTact(now + c->TimeOut());
        watched_[i] = watched_.back();
        watched_.pop_back();
        // The entry's reference travels with the timer message.
        if (sink_)
            sink_->PostTimerMessage(c);
        else
            c->Release(rtTimerEngine);
    }
    std::vector<TDnTcpChannel*> taken;
    {
        std::lock_guard lock(guard_);
        watched_.insert(watched_.end(), newList_.begin(), newList_.end());
        newList_.clear();
        for (TDnTcpChannel* c : oldList_) {
            auto it = std::find(watched_.begin(), watched_.end(), c);
            if (it == watched_.end()) continue;
            *it = watched_.back();
            watched_.pop_back();
            taken.push_back(c);
        }
        oldList_.clear();
    }
    ReleaseAll(taken);
}

void TDnTimerEngine::Wake() {
    std::lock_guard lock(activeMu_);
    if (thread_) thread_->WakeSignal().Set();
}

size_t TDnTimerEngine::WatchedCount() {
    std::lock_guard scan(scanMu_);
    std::lock_guard lock(guard_);
    return watched_.size() + newList_.size();
}

}  // namespace tessil
