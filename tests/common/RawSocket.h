// A blocking loopback TCP client for tests that need exact bytes on the wire: send raw
// frames, read exact byte counts with a time-out, and tell a closed connection from an
// idle one. Owned by one test; used from one thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessil::test {

class RawSocket {
  public:
    RawSocket() = default;
    ~RawSocket();
    RawSocket(RawSocket&& other) noexcept;
    RawSocket& operator=(RawSocket&& other) noexcept;
    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;

    // Connects to 127.0.0.1:port; false when the connection is refused.
    bool Connect(uint16_t port);
    bool IsOpen() const { return fd_ >= 0; }
    void Close();
    // Closes with a reset (SO_LINGER 0) instead of an orderly shutdown.
    void Abort();

    // Sends every byte; false when the peer is gone.
    bool Send(std::string_view bytes);
    bool SendFrame(uint16_t type, std::string_view body);

    // Reads exactly n bytes, or nothing when they do not arrive in time or the peer closes.
    std::optional<std::string> ReadExact(
        size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Reads one frame: type and body.
    struct Frame {
        uint16_t type = 0;
        std::string body;
    };
    std::optional<Frame> ReadFrame(std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // True when the peer closes (or resets) within the time-out; bytes that arrive first
    // are discarded.
    bool WaitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // True when nothing arrives and the connection stays open for the whole period.
    bool StaysOpenAndQuiet(std::chrono::milliseconds period);

    int fd() const { return fd_; }

  private:
    int fd_ = -1;
};

// Counts the open file descriptors of this process (for leak checks).
int CountOpenFds();
// Counts the threads of this process.
int CountThreads();

}  // namespace tessil::test
