// The engine's exception: a numeric code from one table, a subcode and details, plus the
// system-error form that carries an errno value and its text. Value types, any thread.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tessil {

enum : int32_t {
    ErrWin32 = 0,
    ErrInvalidParameter = 1,
    ErrObjectNotActive = 2,
    ErrCannotGetCGIParamValue = 3,
    ErrCannotGetCGINullValue = 4,
    ErrCannotParseUrlencodedString = 5,
    ErrCannotParseCookie = 6,
    ErrObjectIsActive = 7,
    ErrCannotParseHttpHeader = 8,
    ErrCannotParseHttpTime = 9,
    ErrCannotParseHttp = 10,
    ErrInvalidConfig = 11,
    ErrCannotSetTimeOutTwice = 12,
    ErrChannelClosing = 13,
    ErrCannotRemoveOpenedChannel = 14,
    ErrZeroTransferDetected = 15,
    ErrRequiresNT4 = 16,
    ErrSSL = 17,
};

inline constexpr int kExceptionMessageCount = 18;
extern const char* const ExceptionMessages[kExceptionMessageCount];

// what() returns Message(): empty for exceptions built from a code and a subcode only.
class EDnException : public std::runtime_error {
  public:
    EDnException(int32_t code, int32_t subCode);
    EDnException(int32_t code, int32_t subCode, const std::string& details);

    int32_t ErrorCode() const { return errorCode_; }
    int32_t ErrorSubCode() const { return errorSubCode_; }
    std::string Message() const { return what(); }
    // The table text of the code, then " Details are: " and the details when there are any.
    std::string ErrorMessage() const;

  protected:
    int32_t errorCode_;
    int32_t errorSubCode_;
    std::string errorMessage_;
};

// A system error: code ErrWin32, subcode the errno value, details its text.
class EDnWindowsException : public EDnException {
  public:
    explicit EDnWindowsException(int32_t errorNumber);
};

// The system's text for an error number; empty when there is none.
std::string GetErrorText(int32_t errorNumber);

}  // namespace tessil
