// Base request: channel reference, overlapped record, posting its own completion.
// Reactor workers and the thread that starts the request.
#include "iocpengine/DnTcpRequest.h"

#include <cstring>

#include "iocpengine/DnException.h"
#include "iocpengine/DnTcpChannel.h"
#include "iocpengine/DnTcpReactor.h"

namespace tessil {

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

void TDnTcpRequest::PostCompletion(uint32_t count, int errorCode) {
    platform::CompletionQueue* q = CompletionQueueFor();
    if (!q) throw EDnException(ErrObjectNotActive, 0);
    AddRef();
    q->Post(count, reinterpret_cast<uintptr_t>(FChannel), &FContext.FOverlapped, errorCode);
}

void TDnTcpRequest::PostError(int errorCode, uint32_t transferred) {
    FErrorCode = static_cast<uint32_t>(errorCode);
    PostCompletion(transferred);
}

}  // namespace tessil
