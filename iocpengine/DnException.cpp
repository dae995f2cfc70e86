// Engine exception texts and construction rules.
// Any thread.
#include "iocpengine/DnException.h"

#include "platform/Errors.h"

namespace tessil {

const char* const ExceptionMessages[kExceptionMessageCount] = {
    "Win32 system error.",
    "Invalid parameter passed to function.",
    "Object is not active.",
    "Cannot get param array value.",
    "Cannot get NULL as value.",
    "Cannot parse urlencoded string.",
    "Cannot parse the cookie string.",
    "Object is active.",
    "Cannot parse the HTTP header.",
    "Cannot parse the time string.",
    "Cannot parse the HTTP data.",
    "Invalid configuration of object.",
    "Cannot set timeout twice to channel.",
    "Channel is closing. No operations permitted.",
    "Cannot remove from reactor opened channel.",
    "Internal error. Zero transfer was detected.",
    "This module requires at least NT4 system with SP6.",
    "OpenSSL error",
};

EDnException::EDnException(int32_t code, int32_t subCode)
    : std::runtime_error(""), errorCode_(code), errorSubCode_(subCode) {}

EDnException::EDnException(int32_t code, int32_t subCode, const std::string& details)
    : std::runtime_error("Error code is " + std::to_string(code) + ". Error subcode is " +
                         std::to_string(subCode) + ". Details are " + details),
      errorCode_(code),
      errorSubCode_(subCode),
      errorMessage_(details) {}

std::string EDnException::ErrorMessage() const {
    std::string text = (errorCode_ >= 0 && errorCode_ < kExceptionMessageCount)
                           ? ExceptionMessages[errorCode_]
                           : "Unknown error code " + std::to_string(errorCode_) + ".";
    if (!errorMessage_.empty()) text += " Details are: " + errorMessage_;
    return text;
}

EDnWindowsException::EDnWindowsException(int32_t errorNumber)
    : EDnException(ErrWin32, errorNumber) {
    errorMessage_ = GetErrorText(errorNumber);
}

std::string GetErrorText(int32_t errorNumber) {
    return platform::ErrorText(errorNumber);
}

}  // namespace tessil
