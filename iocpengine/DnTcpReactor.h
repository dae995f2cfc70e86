// The reactor: one completion queue, a pool of worker threads that run every completion
// and engine signal, the registry of its channels, and the timer engine. Owned by the
// message server; switched on and off from the owner's thread, used by workers, the
// timer thread and any thread that starts requests.
//
// Contract:
// - A worker that dequeues a completion runs the request's handler itself (through the
//   executor), then the channel's ExecuteNext; for a write, ExecuteNext runs the handlers
//   of the channel's completed writes in send order. Exceptions escaping a packet's dispatch are
//   logged and the worker keeps running.
// - Workers run in parallel; handlers of one channel's read and write queues may overlap.
// - Lock order: reactor lock, then a channel's lock, then the timer's lock.
// - TurnOff releases the registry, stops the timer, stops the workers, then runs what is
//   still queued (delete signals, completions) on the calling thread, so nothing queued
//   is lost; it leaves no thread and no descriptor of its own behind.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "iocpengine/DnExecutor.h"
#include "iocpengine/DnLogger.h"
#include "iocpengine/DnTcpChannel.h"
#include "iocpengine/DnTimerEngine.h"
#include "platform/CompletionQueue.h"

namespace tessil {

// Special packet counts (the pointer names the channel or the message).
inline constexpr uint32_t kPacketDeleteSignal = 0xFFFFFFFFu;
inline constexpr uint32_t kPacketTimerMessage = 0xFFFFFFFEu;
inline constexpr uint32_t kPacketUserMessage = 0xFFFFFFFDu;
inline constexpr uint32_t kPacketFlushSignal = 0xFFFFFFFCu;

struct TDnUserMessage {
    void* FUserData = nullptr;
    int32_t FSignalType = 0;
    TDnTcpChannel* FChannel = nullptr;  // holds one rtUserMessage reference in flight
};

class TDnTcpReactor : public IDnTimerSupport {
  public:
    using TDnTimeoutEvent = std::function<void(TDnThreadContext*, TDnTcpChannel*)>;
    using TDnUserMessageEvent =
        std::function<void(TDnThreadContext*, TDnTcpChannel*, int32_t signalType, void*)>;

    TDnTcpReactor();
    ~TDnTcpReactor() override;
    TDnTcpReactor(const TDnTcpReactor&) = delete;
    TDnTcpReactor& operator=(const TDnTcpReactor&) = delete;

    bool Active() const { return active_.load(); }
    // An exception from TurnOn (EDnWindowsException) leaves the reactor inactive.
    void SetActive(bool value);

    int32_t ThreadSize() const { return threadSize_; }
    // 1..64 workers; takes effect at the next TurnOn.
    void SetThreadSize(int32_t n);
    TDnAbstractLogger* Logger() const { return logger_; }
    void SetLogger(TDnAbstractLogger* logger) { logger_ = logger; }
    TDnLogLevel LogLevel() const { return logLevel_; }
    void SetLogLevel(TDnLogLevel level) { logLevel_ = level; }
    TDnAbstractExecutor* Executor() const { return executor_; }
    void SetExecutor(TDnAbstractExecutor* executor) { executor_ = executor; }
    // Events: set before switching on.
    void SetOnTimeout(TDnTimeoutEvent fn) { onTimeout_ = std::move(fn); }
    void SetOnUserMessage(TDnUserMessageEvent fn) { onUserMessage_ = std::move(fn); }
    // The clock of the timer engines made by TurnOn (tests); default steady clock.
    void SetTimerClock(TDnTimerEngine::TClock clock) { timerClock_ = std::move(clock); }

    // Valid while active.
    TDnTimerEngine* Timer() const { return timer_.get(); }
    const std::shared_ptr<platform::CompletionQueue>& Queue() const { return queue_; }

    void Lock() { guard_.lock(); }
    void Unlock() { guard_.unlock(); }
    int32_t GetChannelCount();

    // A new empty channel of this reactor (count 0).
    TDnTcpChannel* MakeChannel() { return new TDnTcpChannel(this); }
    // Frees a channel at once (only for one nothing else refers to).
    void FreeChannel(TDnTcpChannel* channel) { delete channel; }

    // Binds the channel's socket to the queue and lists the channel once (rtChannelList).
    // EDnException(ErrObjectNotActive) while off; EDnWindowsException when the socket
    // cannot be bound.
    void PostChannel(TDnTcpChannel* channel);
    // Only for a closed channel: unlists it, cancels its time-out, drops the reference.
    void RemoveChannel(TDnTcpChannel* channel);
    // Sets the channel's time-out (once) and starts watching it when value is not 0.
    void SetTimeout(TDnTcpChannel* channel, uint32_t value);
    // Watches the channel again for `tacts` (after a timer message; channel lock held).
    void RearmTimeout(TDnTcpChannel* channel, uint32_t tacts);

    void PostTimerMessage(TDnTcpChannel* channel) override;
    // False when there is no queue to post to (reactor off).
    bool PostDeleteSignal(TDnTcpChannel* channel);
    void PostUserSignal(void* userData, int32_t signalType, TDnTcpChannel* channel);
    void DoTimeoutError(TDnThreadContext* context, TDnTcpChannel* channel);
    void DoUserMessage(TDnUserMessage* message);
    void CloseChannels();
    // Calls fn for the listed channels in order until one returns true (lock held).
    void ProcessChannelList(const std::function<bool(TDnTcpChannel*, void*)>& fn, void* userData);

    // Handles one dequeued packet (workers; TurnOff's drain).
    void DispatchPacket(const platform::Packet& packet);
    // Logs through the logger when there is one; never raises.
    void LogMessage(TDnLogLevel level, const std::string& msg);

  private:
    class TDnTcpReactorThread;
    bool TurnOn();
    bool TurnOff();
    void DoRequest(TDnTcpRequest* request, TDnTcpChannel* channel);
    void DispatchCompletion(const platform::Packet& packet, TDnInlineReads& inlineReads);
    void Unlist(TDnTcpChannel* channel);

    std::atomic<bool> active_{false};
    int32_t threadSize_ = 4;
    TDnAbstractLogger* logger_ = nullptr;
    TDnLogLevel logLevel_ = llMandatory;
    TDnAbstractExecutor* executor_ = nullptr;
    TDnTimeoutEvent onTimeout_;
    TDnUserMessageEvent onUserMessage_;
    TDnTimerEngine::TClock timerClock_;

    std::recursive_mutex guard_;
    std::shared_ptr<platform::CompletionQueue> queue_;
    // The same queue for posting without the reactor's lock (a channel's last release
    // posts its delete signal while holding the channel's lock).
    std::atomic<platform::CompletionQueue*> postQueue_{nullptr};
    std::unique_ptr<TDnTimerEngine> timer_;
    std::vector<std::unique_ptr<TDnTcpReactorThread>> threads_;
    TDnTcpChannel* listHead_ = nullptr;
    int32_t channelCount_ = 0;
};

}  // namespace tessil
