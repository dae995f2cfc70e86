// The engine's runtime primitives: reference-counted base object, engine thread with its
// context steps and the thread-local slot, event and semaphore wrappers, version check.
// Each object is owned by its creator; counts and waits may be used from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "platform/Event.h"

namespace tessil {

enum TDnWaitResult : int32_t { dwrTimeOut = 0, dwrSignaled = 1, dwrFailed = 2 };

// Interface-style reference count starting at 1 (the creator's reference). Channels and
// requests derive from it but are freed explicitly by the engine, never through it.
class TDnObject {
  public:
    TDnObject() = default;
    virtual ~TDnObject() = default;
    TDnObject(const TDnObject&) = delete;
    TDnObject& operator=(const TDnObject&) = delete;

    int32_t ObjAddRef() { return objRefCount_.fetch_add(1) + 1; }
    // Destroys the object when the count reaches 0; returns the new count.
    int32_t ObjRelease();
    int32_t ObjRefCount() const { return objRefCount_.load(); }

  private:
    std::atomic<int32_t> objRefCount_{1};
};

class TDnThread;

// The opaque context handed to every completion handler.
class TDnThreadContext {
  public:
    explicit TDnThreadContext(TDnThread* owner = nullptr) : FOwnerThread(owner) {}
    virtual ~TDnThreadContext() = default;
    TDnThread* OwnerThread() const { return FOwnerThread; }
    void Grab();
    void Release();

  private:
    TDnThread* FOwnerThread;
};

// An engine thread: created suspended, started by Run, asked to stop through Terminate.
// Execute runs: clear slot, CreateContext, slot := this, ThreadRoutine (exceptions are
// caught and dropped), clear slot, DestroyContext. The destructor waits for the thread;
// subclasses must call WaitFor in their own destructor before their members go.
class TDnThread {
  public:
    TDnThread() = default;
    virtual ~TDnThread();
    TDnThread(const TDnThread&) = delete;
    TDnThread& operator=(const TDnThread&) = delete;

    void Run();
    void Terminate() { terminated_.store(true); }
    bool Terminated() const { return terminated_.load(); }
    // Waits until the thread has ended (returns at once when it never started).
    void WaitFor();
    bool Finished() const { return finished_.load(); }

    void Grab() { refCount_.fetch_add(1); }
    void Release() { refCount_.fetch_sub(1); }
    int32_t UsageCount() const { return refCount_.load(); }
    TDnThreadContext* Context() const { return FContext; }

  protected:
    virtual void CreateContext() = 0;
    virtual void DestroyContext() = 0;
    virtual void ThreadRoutine() = 0;

    TDnThreadContext* FContext = nullptr;

  private:
    void Execute();

    std::thread thread_;
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
    std::atomic<int32_t> refCount_{0};
};

// The thread-local slot: the engine thread running on the calling system thread.
TDnThread* CurrentDnThread();
void SetCurrentContext(TDnThreadContext* context);

// Auto-reset event, created non-signalled.
class TDnEvent {
  public:
    void SetEvent() { event_.Set(); }
    void Pulse() { event_.Pulse(); }
    TDnWaitResult WaitFor(uint32_t timeoutMs = platform::kWaitInfinite) {
        return event_.Wait(timeoutMs) ? dwrSignaled : dwrTimeOut;
    }

  private:
    platform::Event event_{false, false};
};

class TDnSemaphore {
  public:
    TDnSemaphore(int32_t initialCount, int32_t maxCount) : sem_(initialCount, maxCount) {}
    TDnWaitResult Wait(uint32_t timeoutMs = platform::kWaitInfinite) {
        return sem_.Wait(timeoutMs) ? dwrSignaled : dwrTimeOut;
    }
    void Release() { sem_.Release(); }

  private:
    platform::Semaphore sem_;
};

// The engine needs nothing of the operating system's version here.
inline bool CheckRunningNT4() {
    return true;
}

}  // namespace tessil
