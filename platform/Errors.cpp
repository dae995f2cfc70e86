// System error texts (strerror_r, thread-safe).
// Called from any thread.
#include "platform/Errors.h"

#include <cstring>

namespace tessil::platform {

std::string ErrorText(int code) {
    if (code == 0) return {};
    char buf[256];
    buf[0] = '\0';
    // GNU strerror_r returns a pointer that may or may not be buf.
    const char* text = strerror_r(code, buf, sizeof buf);
    return text ? std::string(text) : std::string();
}

}  // namespace tessil::platform
