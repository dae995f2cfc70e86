// The engine's logger interface (level filter, line format) and the file logger, whose
// lines are written by a thread of its own (rate-limited per kind, size-capped). Owned by
// the message server; LogMsg is called from every engine thread and never waits for the
// disk; switching on and off only by the owner while nobody logs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "platform/LogFile.h"

namespace tessil {

enum TDnLogLevel : int32_t {
    llMandatory = 0,
    llCritical = 1,
    llSerious = 2,
    llImportant = 3,
    llPriority = 4,
    llInformation = 5,
    llLowLevel = 6,
};

inline constexpr std::string_view SLogItemDelimiter = " : ";

// s preceded by the spaces it lacks to be len characters long.
std::string AppendToWidth(std::string_view s, size_t len);

class TDnAbstractLogger {
  public:
    TDnAbstractLogger() = default;
    virtual ~TDnAbstractLogger() = default;
    TDnAbstractLogger(const TDnAbstractLogger&) = delete;
    TDnAbstractLogger& operator=(const TDnAbstractLogger&) = delete;

    bool ShowProcessId() const { return showProcessId_; }
    void SetShowProcessId(bool v) { showProcessId_ = v; }
    bool ShowThreadId() const { return showThreadId_; }
    void SetShowThreadId(bool v) { showThreadId_ = v; }
    bool ShowDateTime() const { return showDateTime_; }
    void SetShowDateTime(bool v) { showDateTime_ = v; }
    TDnLogLevel MinLevel() const { return level_; }
    void SetMinLevel(TDnLogLevel v) { level_ = v; }
    const std::string& DateTimeFormat() const { return dateTimeFormat_; }
    void SetDateTimeFormat(std::string v) { dateTimeFormat_ = std::move(v); }
    uint8_t ProcessIdWidth() const { return processIdWidth_; }
    // Widths below 3 raise EDnException(ErrInvalidParameter) and keep the old width.
    void SetProcessIdWidth(uint8_t v);
    uint8_t ThreadIdWidth() const { return threadIdWidth_; }
    void SetThreadIdWidth(uint8_t v);

    bool Active() const { return active_; }
    // Calls TurnOn/TurnOff only on a real change and keeps their result as the state.
    void SetActive(bool value);

    // UTC time with milliseconds, process id, thread id as configured, then msg.
    std::string FormatMessage(std::string_view msg) const;
    virtual void LogMsg(TDnLogLevel level, std::string_view msg) = 0;

  protected:
    virtual bool TurnOn() { return true; }
    virtual bool TurnOff() { return false; }

  private:
    bool showProcessId_ = false;
    bool showThreadId_ = false;
    bool showDateTime_ = false;
    TDnLogLevel level_ = llMandatory;
    bool active_ = false;
    std::string dateTimeFormat_ = "ss.nn.hh mm.dd.yyyy";
    uint8_t processIdWidth_ = 5;
    uint8_t threadIdWidth_ = 5;
};

class TDnFileLogger : public TDnAbstractLogger {
  public:
    TDnFileLogger();
    ~TDnFileLogger() override;

    const std::string& FileName() const { return fileName_; }
    // Raises EDnException(ErrObjectIsActive) while the logger is active.
    void SetFileName(std::string name);
    bool RewriteLog() const { return rewriteLog_; }
    void SetRewriteLog(bool v) { rewriteLog_ = v; }

    // Queues one CR LF line when level <= MinLevel, with control characters escaped and
    // passwords hidden. Does nothing while inactive.
    void LogMsg(TDnLogLevel level, std::string_view msg) override;
    // Size cap and lines per second per message kind (the text before its first digit).
    void SetLimits(TLogFileLimits limits) { file_.SetLimits(limits); }
    // Blocks until the queued lines are written.
    void Flush() { file_.Flush(); }

  protected:
    // Creates the file (emptied when RewriteLog); raises std::ios_base::failure when it
    // cannot be written.
    bool TurnOn() override;
    // Writes what is queued.
    bool TurnOff() override;

  private:
    std::string fileName_;
    bool rewriteLog_ = false;
    TLogFile file_;
};

}  // namespace tessil
