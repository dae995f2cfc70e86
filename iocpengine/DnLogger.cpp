// Engine logger formatting and the file logger (lines handed to a TLogFile).
// LogMsg from any engine thread; SetActive from the owner's thread.
#include "iocpengine/DnLogger.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <ios>

#include "iocpengine/DnException.h"
#include "platform/LogText.h"
#include "platform/Settings.h"

namespace tessil {

std::string AppendToWidth(std::string_view s, size_t len) {
    std::string out;
    if (s.size() < len) out.assign(len - s.size(), ' ');
    out.append(s);
    return out;
}

void TDnAbstractLogger::SetProcessIdWidth(uint8_t v) {
    if (v < 3) throw EDnException(ErrInvalidParameter, 0);
    processIdWidth_ = v;
}

void TDnAbstractLogger::SetThreadIdWidth(uint8_t v) {
    if (v < 3) throw EDnException(ErrInvalidParameter, 0);
    threadIdWidth_ = v;
}

void TDnAbstractLogger::SetActive(bool value) {
    if (active_ && !value)
        active_ = TurnOff();
    else if (!active_ && value)
        active_ = TurnOn();
}

std::string TDnAbstractLogger::FormatMessage(std::string_view msg) const {
    std::string line;
    if (showDateTime_) {
        line += logtext::UtcStamp(std::chrono::system_clock::now());
        line += SLogItemDelimiter;
    }
    if (showProcessId_) {
        line += AppendToWidth(std::to_string(getpid()), processIdWidth_);
        line += SLogItemDelimiter;
    }
    if (showThreadId_) {
        line +=
            AppendToWidth(std::to_string(static_cast<long>(syscall(SYS_gettid))), threadIdWidth_);
        line += SLogItemDelimiter;
    }
    line += msg;
    return line;
}

namespace {

// An engine message is cut to this many bytes.
constexpr size_t kMaxMessageBytes = 4096;

// The kind of an engine message, for the rate limit: its words before the first digit
// ("Failed to AcceptEx. Error code is "), so that messages differing only in their
// numbers count as one kind.
std::string_view KindOf(std::string_view msg) {
    size_t end = 0;
    while (end < msg.size() && end < 48 && !(msg[end] >= '0' && msg[end] <= '9')) ++end;
    return msg.substr(0, end);
}

}  // namespace

TDnFileLogger::TDnFileLogger()
    : file_(
          [](std::string_view note) {
              return logtext::UtcStamp(std::chrono::system_clock::now()) +
                     std::string(SLogItemDelimiter) + std::string(note);
          },
          "engine_log_lines") {
    SetShowDateTime(true);
    file_.SetLimits(TLogFileLimits::FromSettings());
}

TDnFileLogger::~TDnFileLogger() = default;

void TDnFileLogger::SetFileName(std::string name) {
    if (Active()) throw EDnException(ErrObjectIsActive, 0);
    fileName_ = std::move(name);
}

bool TDnFileLogger::TurnOn() {
    std::string error;
    if (!TLogFile::Touch(fileName_, rewriteLog_, &error)) throw std::ios_base::failure(error);
    file_.SetPath(fileName_);
    return true;
}

bool TDnFileLogger::TurnOff() {
    file_.Flush();
    file_.SetPath("");
    return false;
}

void TDnFileLogger::LogMsg(TDnLogLevel level, std::string_view msg) {
    if (!Active() || level > MinLevel()) return;
    file_.Append(KindOf(msg), FormatMessage(logtext::Clean(msg, kMaxMessageBytes)));
}

}  // namespace tessil
