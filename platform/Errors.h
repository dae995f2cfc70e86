// System error numbers used by the engine and their texts. Error numbers are errno
// values; the two conditions callers test by number are named here, in one place.
// Pure functions, callable from any thread.
#pragma once

#include <cerrno>
#include <string>

namespace tessil::platform {

// The socket is no longer a socket: an operation was issued on a closed handle.
inline constexpr int kErrNotSocket = EBADF;
// An operation was accepted and will complete later through the completion queue.
inline constexpr int kErrIoPending = EINPROGRESS;
// A pending operation ended because its socket was closed.
inline constexpr int kErrOperationAborted = ECANCELED;

// True for the codes that mean "the handle was already closed".
inline bool IsNotSocketError(int code) {
    return code == EBADF || code == ENOTSOCK;
}

// The system's text for an error number ("" for 0).
std::string ErrorText(int code);

}  // namespace tessil::platform
