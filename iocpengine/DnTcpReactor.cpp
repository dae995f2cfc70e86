// Reactor: switching, worker loop, packet dispatch, channel registry and time-outs.
// Workers, the timer thread (PostTimerMessage) and the owner's thread (SetActive).
#include "iocpengine/DnTcpReactor.h"

#include <exception>
#include <system_error>

#include "iocpengine/DnException.h"
#include "iocpengine/DnFlushList.h"
#include "iocpengine/DnTcpRequest.h"

namespace tessil {

namespace {
constexpr uint32_t kWorkerWaitMs = 250;
constexpr int kMaxDrainPackets = 1000000;
}  // namespace

class TDnTcpReactor::TDnTcpReactorThread : public TDnThread {
  public:
    explicit TDnTcpReactorThread(TDnTcpReactor* reactor) : reactor_(reactor) {}
    ~TDnTcpReactorThread() override { WaitFor(); }

  protected:
    void CreateContext() override { SetCurrentContext(nullptr); }
    void DestroyContext() override {}
    void ThreadRoutine() override {
        platform::CompletionQueue& q = *reactor_->queue_;
        flushlist::Bind(&q);
        q.BindWorker([this] {
            try {
                flushlist::Flush();
            } catch (...) {
                reactor_->LogMessage(llCritical, "Flushing queued writes failed.");
            }
        });
        platform::Packet p;
        while (!Terminated()) {
            if (!q.Get(p, kWorkerWaitMs)) continue;
            if (!p.pointer && p.count == 0 && p.key == 0) break;  // stop packet
            try {
                reactor_->DispatchPacket(p);
            } catch (const EDnException& e) {
                reactor_->LogMessage(llCritical, "Packet dispatch failed: " + e.ErrorMessage());
            } catch (const std::exception& e) {
                reactor_->LogMessage(llCritical,
                                     std::string("Packet dispatch failed: ") + e.what());
            } catch (...) {
                reactor_->LogMessage(llCritical, "Packet dispatch failed.");
            }
        }
        q.UnbindWorker();
        flushlist::Unbind();
    }

  private:
    TDnTcpReactor* reactor_;
};

TDnTcpReactor::TDnTcpReactor() = default;

TDnTcpReactor::~TDnTcpReactor() {
    SetActive(false);
}

void TDnTcpReactor::SetActive(bool value) {
    if (value && !active_.load())
        active_.store(TurnOn());
    else if (!value && active_.load())
        active_.store(TurnOff());
}

void TDnTcpReactor::SetThreadSize(int32_t n) {
    if (n < 1 || n > 64) throw EDnException(ErrInvalidParameter, n);
    threadSize_ = n;
}

bool TDnTcpReactor::TurnOn() {
    std::shared_ptr<platform::CompletionQueue> q;
    try {
        q = std::make_shared<platform::CompletionQueue>();
    } catch (const std::system_error& e) {
        throw EDnWindowsException(e.code().value());
    }
    auto timer = std::make_unique<TDnTimerEngine>(timerClock_);
    timer->SetTimerSink(this);
    {
        std::lock_guard lock(guard_);
        queue_ = q;
        postQueue_.store(q.get());
        timer_ = std::move(timer);
    }
    timer_->SetActive(true);
    for (int32_t i = 0; i < threadSize_; ++i) {
        threads_.push_back(std::make_unique<TDnTcpReactorThread>(this));
        threads_.back()->Run();
    }
    return true;
}

bool TDnTcpReactor::TurnOff() {
    CloseChannels();
    timer_->SetActive(false);
    for (auto& t : threads_) t->Terminate();
    for (size_t i = 0; i < threads_.size(); ++i) queue_->Post(0, 0, nullptr);
    for (auto& t : threads_) t->WaitFor();
    threads_.clear();
    // Run what the workers left queued (delete signals, late completions) here, so that
    // nothing is lost; stop packets are skipped.
    platform::Packet p;
    for (int n = 0; n < kMaxDrainPackets && queue_->Get(p, 0); ++n) {
        if (!p.pointer) continue;
        try {
            DispatchPacket(p);
        } catch (...) {
            LogMessage(llCritical, "Packet dispatch failed while switching off.");
        }
    }
    std::unique_ptr<TDnTimerEngine> timer;
    {
        std::lock_guard lock(guard_);
        timer = std::move(timer_);
        postQueue_.store(nullptr);
        queue_.reset();
    }
    timer.reset();
    if (executor_) executor_->SetActive(false);
    return false;
}

int32_t TDnTcpReactor::GetChannelCount() {
    std::lock_guard lock(guard_);
    return channelCount_;
}

void TDnTcpReactor::PostChannel(TDnTcpChannel* channel) {
    std::lock_guard lock(guard_);
    if (!queue_) throw EDnException(ErrObjectNotActive, 0);
    try {
        channel->AttachToQueue(queue_);
    } catch (const std::system_error& e) {
        throw EDnWindowsException(e.code().value());
    }
    if (channel->registered_) return;
    channel->AddRef(rtChannelList);
    channel->registered_ = true;
    channel->regPrev_ = nullptr;
    channel->regNext_ = listHead_;
    if (listHead_) listHead_->regPrev_ = channel;
    listHead_ = channel;
    ++channelCount_;
}

void TDnTcpReactor::Unlist(TDnTcpChannel* channel) {
    if (channel->regPrev_)
        channel->regPrev_->regNext_ = channel->regNext_;
    else
        listHead_ = channel->regNext_;
    if (channel->regNext_) channel->regNext_->regPrev_ = channel->regPrev_;
    channel->regPrev_ = channel->regNext_ = nullptr;
    channel->registered_ = false;
    --channelCount_;
}

void TDnTcpReactor::RemoveChannel(TDnTcpChannel* channel) {
    if (!channel->IsClosed()) return;
    std::lock_guard lock(guard_);
    if (!channel->registered_) return;
    Unlist(channel);
    if (timer_) timer_->CancelNotify(channel);
    channel->Release(rtChannelList);
}

void TDnTcpReactor::CloseChannels() {
    std::lock_guard lock(guard_);
    while (listHead_) {
        TDnTcpChannel* c = listHead_;
        Unlist(c);
        c->Release(rtChannelList);
    }
}

void TDnTcpReactor::ProcessChannelList(const std::function<bool(TDnTcpChannel*, void*)>& fn,
                                       void* userData) {
    std::lock_guard lock(guard_);
    for (TDnTcpChannel* c = listHead_; c;) {
        TDnTcpChannel* next = c->regNext_;
        if (fn(c, userData)) break;
        c = next;
    }
}

void TDnTcpReactor::SetTimeout(TDnTcpChannel* channel, uint32_t value) {
    std::lock_guard lock(guard_);
    std::lock_guard chLock(*channel);
    channel->SetTimeOut(value);
    if (value == 0 || !timer_) return;
    const uint32_t now = timer_->TactNow();
    channel->lastIoTact_.store(now, std::memory_order_relaxed);
    timer_->RequestTimerNotify(channel, value, nullptr);
}

void TDnTcpReactor::RearmTimeout(TDnTcpChannel* channel, uint32_t tacts) {
    if (timer_) timer_->RequestTimerNotify(channel, tacts, nullptr);
}

void TDnTcpReactor::PostTimerMessage(TDnTcpChannel* channel) {
    queue_->Post(kPacketTimerMessage, 0, channel);
}

bool TDnTcpReactor::PostDeleteSignal(TDnTcpChannel* channel) {
    platform::CompletionQueue* q = postQueue_.load();
    if (!q) return false;
    q->Post(kPacketDeleteSignal, 0, channel);
    return true;
}

void TDnTcpReactor::PostUserSignal(void* userData, int32_t signalType, TDnTcpChannel* channel) {
    auto* msg = new TDnUserMessage{userData, signalType, channel};
    platform::CompletionQueue* q = postQueue_.load();
    if (!q) {
        delete msg;
        return;
    }
    if (channel) channel->AddRef(rtUserMessage);
    q->Post(kPacketUserMessage, 0, msg);
}

void TDnTcpReactor::LogMessage(TDnLogLevel level, const std::string& msg) {
    if (!logger_) return;
    try {
        logger_->LogMsg(level, msg);
    } catch (...) {
        // Logging never ends a worker.
    }
}

void TDnTcpReactor::DoTimeoutError(TDnThreadContext* context, TDnTcpChannel* channel) {
    if (!onTimeout_ || !active_.load()) return;
    try {
        onTimeout_(context, channel);
    } catch (const std::exception& e) {
        LogMessage(llCritical, std::string("OnTimeout handler raised an error. ") + e.what());
    }
}

void TDnTcpReactor::DoUserMessage(TDnUserMessage* message) {
    if (!onUserMessage_ || !active_.load()) return;
    try {
        onUserMessage_(nullptr, message->FChannel, message->FSignalType, message->FUserData);
    } catch (const std::exception& e) {
        LogMessage(llCritical, std::string("OnUserMessage handler raised an error. ") + e.what());
    }
}

void TDnTcpReactor::DoRequest(TDnTcpRequest* request, TDnTcpChannel* channel) {
    // A write's handler is called by the channel, which keeps the writes in send order.
    if (executor_ && request->RequestType() != rtWrite) executor_->PostEvent(request);
    channel->ExecuteNext(request);
}

void TDnTcpReactor::DispatchPacket(const platform::Packet& packet) {
    if (!packet.pointer) return;
    switch (packet.count) {
        case kPacketDeleteSignal:
            delete static_cast<TDnTcpChannel*>(packet.pointer);
            return;
        case kPacketTimerMessage: {
            auto* channel = static_cast<TDnTcpChannel*>(packet.pointer);
            if (!channel->IsClosed()) channel->HandleTimeoutMsg(executor_);
            channel->Release(rtTimerEngine);
            return;
        }
        case kPacketFlushSignal:
            static_cast<TDnTcpChannel*>(packet.pointer)->FlushWrites();
            return;
        case kPacketUserMessage: {
            auto* msg = static_cast<TDnUserMessage*>(packet.pointer);
            DoUserMessage(msg);
            if (msg->FChannel) msg->FChannel->Release(rtUserMessage);
            delete msg;
            return;
        }
        default:
            break;
    }
    // A read completed from the channel's cache while its predecessor was being handled
    // comes back here rather than through the queue: a header and body that arrived
    // together are handled in one pass.
    platform::Packet next = packet;
    TDnInlineReads inlineReads;
    do {
        DispatchCompletion(next, inlineReads);
    } while (inlineReads.Take(next));
}

void TDnTcpReactor::DispatchCompletion(const platform::Packet& packet,
                                       TDnInlineReads& inlineReads) {
    TDnTcpRequest* request = TDnTcpRequest::FromOverlapped(packet.pointer);
    if (!request) return;  // cancelled
    request->Release();
    const bool accept = request->RequestType() == rtAccept;
    if (packet.error != 0) {
        request->CatchError(packet.error);
        if (accept) {
            if (executor_) executor_->PostEvent(request);
        } else {
            DoRequest(request, request->Channel());
        }
        return;
    }
    request->SetTransferred(packet.count);
    if (accept) {
        if (executor_) executor_->PostEvent(request);
        return;
    }
    TDnTcpChannel* channel = request->Channel();
    const bool read = request->RequestType() == rtRead;
    if (read && timer_) channel->NoteReadActivity(timer_->CurrentTact());
    if (!request->IsComplete()) {
        if (read) channel->NotePartialRead(true);
        request->ReExecute();
    } else if (read) {
        channel->NotePartialRead(false);
        inlineReads.Watch(channel);
        DoRequest(request, channel);
        inlineReads.Watch(nullptr);
    } else {
        DoRequest(request, channel);
    }
}

}  // namespace tessil
