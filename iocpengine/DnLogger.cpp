// Engine logger formatting and the file logger.
// LogMsg from any engine thread; SetActive from the owner's thread.
#include "iocpengine/DnLogger.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <ctime>
#include <ios>

#include "iocpengine/DnException.h"
#include "platform/Errors.h"

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
        timespec ts{};
        clock_gettime(CLOCK_BOOTTIME, &ts);
        uint64_t ms = uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
        line += std::to_string(static_cast<uint32_t>(ms));
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

TDnFileLogger::TDnFileLogger() {
    SetShowDateTime(true);
}

TDnFileLogger::~TDnFileLogger() {
    if (file_) std::fclose(file_);
}

void TDnFileLogger::SetFileName(std::string name) {
    if (Active()) throw EDnException(ErrObjectIsActive, 0);
    fileName_ = std::move(name);
}

bool TDnFileLogger::TurnOn() {
    file_ = std::fopen(fileName_.c_str(), rewriteLog_ ? "wb" : "ab");
    if (!file_) throw std::ios_base::failure(fileName_ + ": " + platform::ErrorText(errno));
    return true;
}

bool TDnFileLogger::TurnOff() {
    std::FILE* f = file_;
    file_ = nullptr;
    if (f && std::fclose(f) != 0) throw std::ios_base::failure(fileName_ + ": close failed");
    return false;
}

void TDnFileLogger::LogMsg(TDnLogLevel level, std::string_view msg) {
    if (!Active() || level > MinLevel()) return;
    std::string line = FormatMessage(msg);
    line += "\r\n";
    std::lock_guard lock(guard_);
    if (!file_) return;
    if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() || std::fflush(file_) != 0)
        throw std::ios_base::failure(fileName_ + ": write failed");
}

}  // namespace tessil
