// Base request: channel reference, overlapped record, posting its own completion.
// Reactor workers and the thread that starts the request.
#include "iocpengine/DnTcpRequest.h"

#include <cstring>

#include "iocpengine/DnException.h"
#include "iocpengine/DnOutputBuffer.h"
#include "iocpengine/DnTcpChannel.h"
#include "iocpengine/DnTcpReactor.h"

namespace tessil {

void IDnTcpWriteHandler::DoWriteFrames(TDnThreadContext* context, TDnTcpChannel* channel,
                                       const TDnOutputBuffer& out) {
    out.ForEachFrame([&](void* key, std::string_view frame) {
        DoWrite(context, channel, key, frame.data(), static_cast<uint32_t>(frame.size()));
    });
}

TDnTcpRequest::TDnTcpRequest(TDnTcpChannel* channel, void* key, TDnIORequestType refType)
    : FChannel(channel), FKey(key), refType_(refType) {
    FContext.FRequest = this;
    if (FChannel) FChannel->AddRef(refType_);
}

TDnTcpRequest::~TDnTcpRequest() {
    if (FChannel) FChannel->Release(refType_);
}

void TDnTcpRequest::Execute() {
    FErrorCode = 0;
    FContext.FOverlapped = platform::Overlapped{};
    FContext.FRequest = this;
    FRunning.store(true, std::memory_order_relaxed);
}

platform::CompletionQueue* TDnTcpRequest::CompletionQueueFor() {
    if (!FChannel) return nullptr;
    if (FChannel->Queue()) return FChannel->Queue();
    TDnTcpReactor* reactor = FChannel->Reactor();
    return reactor && reactor->Queue() ? reactor->Queue().get() : nullptr;
}

namespace {
thread_local TDnInlineReads* tInlineReads = nullptr;
}

TDnInlineReads::TDnInlineReads() : outer_(tInlineReads) {
    tInlineReads = this;
}

TDnInlineReads::~TDnInlineReads() {
    tInlineReads = outer_;
    if (!has_) return;
    // Left over (the dispatch loop ended early): the completion takes the queue's way.
    auto* request = TDnTcpRequest::FromOverlapped(packet_.pointer);
    platform::CompletionQueue* q =
        request && request->Channel() ? request->Channel()->Queue() : nullptr;
    if (q) q->Post(packet_.count, packet_.key, packet_.pointer, packet_.error);
}

bool TDnInlineReads::Take(platform::Packet& out) {
    if (!has_) return false;
    has_ = false;
    out = packet_;
    return true;
}

bool TDnInlineReads::Offer(TDnTcpChannel* channel, const platform::Packet& packet) {
    TDnInlineReads* slot = tInlineReads;
    if (slot == nullptr || slot->channel_ != channel || slot->has_ || channel == nullptr)
        return false;
    slot->packet_ = packet;
    slot->has_ = true;
    return true;
}

void TDnTcpRequest::PostCompletion(uint32_t count, int errorCode) {
    platform::CompletionQueue* q = CompletionQueueFor();
    if (!q) throw EDnException(ErrObjectNotActive, 0);
    AddRef();
    if (errorCode == 0 && RequestType() == rtRead &&
        TDnInlineReads::Offer(FChannel,
                              platform::Packet{count, reinterpret_cast<uintptr_t>(FChannel),
                                               &FContext.FOverlapped, 0}))
        return;
    q->Post(count, reinterpret_cast<uintptr_t>(FChannel), &FContext.FOverlapped, errorCode);
}

void TDnTcpRequest::PostError(int errorCode, uint32_t transferred) {
    FErrorCode = static_cast<uint32_t>(errorCode);
    PostCompletion(transferred);
}

}  // namespace tessil
