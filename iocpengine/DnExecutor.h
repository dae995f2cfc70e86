// Executors decide where a finished request's handler runs. The simple executor runs it
// at once on the calling reactor worker and supplies the context every handler gets.
// Owned by the message server; PostEvent is called by several workers at once.
#pragma once

#include <functional>

#include "iocpengine/DnLogger.h"
#include "iocpengine/DnRuntime.h"

namespace tessil {

class TDnTcpRequest;

class TDnAbstractExecutor {
  public:
    using TOnCreateContext = std::function<TDnThreadContext*(TDnThread*)>;
    using TOnDestroyContext = std::function<void(TDnThreadContext*)>;

    TDnAbstractExecutor() = default;
    virtual ~TDnAbstractExecutor() = default;
    TDnAbstractExecutor(const TDnAbstractExecutor&) = delete;
    TDnAbstractExecutor& operator=(const TDnAbstractExecutor&) = delete;

    TDnAbstractLogger* Logger() const { return logger_; }
    void SetLogger(TDnAbstractLogger* logger) { logger_ = logger; }
    TDnLogLevel LogLevel() const { return logLevel_; }
    void SetLogLevel(TDnLogLevel level) { logLevel_ = level; }
    void SetOnCreateContext(TOnCreateContext fn) { onCreateContext_ = std::move(fn); }
    void SetOnDestroyContext(TOnDestroyContext fn) { onDestroyContext_ = std::move(fn); }

    bool Active() const { return active_; }
    void SetActive(bool value);

    // Runs (or schedules) the request's handler. Always returns true.
    virtual bool PostEvent(TDnTcpRequest* request) = 0;

  protected:
    virtual bool TurnOn() { return true; }
    virtual bool TurnOff() { return false; }

    TDnAbstractLogger* logger_ = nullptr;
    TDnLogLevel logLevel_ = llMandatory;
    TOnCreateContext onCreateContext_;
    TOnDestroyContext onDestroyContext_;

  private:
    bool active_ = false;
};

class TDnSimpleExecutor : public TDnAbstractExecutor {
  public:
    ~TDnSimpleExecutor() override { SetActive(false); }
    // Calls the handler on this thread; an exception it raises is logged (at LogLevel,
    // when a logger is set) and dropped. A pure-signal request is freed afterwards.
    bool PostEvent(TDnTcpRequest* request) override;
    TDnThreadContext* Context() const { return context_; }

  protected:
    bool TurnOn() override;
    bool TurnOff() override;

  private:
    TDnThreadContext* context_ = nullptr;
};

}  // namespace tessil
