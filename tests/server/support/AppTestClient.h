// Test helpers for the application tests: a raw framed-protocol client over a blocking
// loopback socket (handshake, requests, decoded replies) and a free-port finder. Used by
// one test thread each.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessil::apptest {

// A loopback TCP port that was free a moment ago.
uint16_t FreePort();

class AppTestClient {
  public:
    AppTestClient() = default;
    ~AppTestClient();
    AppTestClient(const AppTestClient&) = delete;
    AppTestClient& operator=(const AppTestClient&) = delete;

    bool Connect(uint16_t port);
    void Close();
    // Sends the client-info handshake frame.
    bool Handshake(std::string_view id = "t");
    // Sends a data frame carrying "TXT" and the Base64 of the JSON text.
    bool Request(std::string_view json);
    // The next data frame's decoded text (handshake verdicts and other kinds are skipped);
    // nothing after the time-out or when the connection closed.
    std::optional<std::string> NextText(std::chrono::milliseconds timeout);
    // The next decoded text that contains `needle`.
    std::optional<std::string> WaitText(std::string_view needle, std::chrono::milliseconds timeout);

  private:
    bool SendAll(const std::string& bytes);
    bool ReadExact(char* out, size_t n, std::chrono::steady_clock::time_point until);

    int fd_ = -1;
};

}  // namespace tessil::apptest
