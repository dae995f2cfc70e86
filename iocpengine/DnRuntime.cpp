// Engine thread body and the thread-local slot.
// Threads: the owner's (Run, WaitFor) and the engine thread itself (Execute).
#include "iocpengine/DnRuntime.h"

namespace tessil {

namespace {
thread_local TDnThread* tCurrentThread = nullptr;
}

int32_t TDnObject::ObjRelease() {
    int32_t left = objRefCount_.fetch_sub(1) - 1;
    if (left == 0) delete this;
    return left;
}

void TDnThreadContext::Grab() {
    if (FOwnerThread) FOwnerThread->Grab();
}

void TDnThreadContext::Release() {
    if (FOwnerThread) FOwnerThread->Release();
}

TDnThread::~TDnThread() {
    WaitFor();
}

void TDnThread::Run() {
    if (thread_.joinable() || finished_.load()) return;
    thread_ = std::thread([this] { Execute(); });
}

void TDnThread::WaitFor() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void TDnThread::Execute() {
    tCurrentThread = nullptr;
    CreateContext();
    tCurrentThread = this;
    try {
        ThreadRoutine();
    } catch (...) {
        // An engine thread never lets an exception end the process.
    }
    tCurrentThread = nullptr;
    DestroyContext();
    finished_.store(true);
}

TDnThread* CurrentDnThread() {
    return tCurrentThread;
}

void SetCurrentContext(TDnThreadContext* context) {
    tCurrentThread = context ? context->OwnerThread() : nullptr;
}

}  // namespace tessil
