// A one-connection fake server on a loopback ephemeral port for client tests: the test
// gives a script that runs on the server's own thread against the accepted socket.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "client/FrameReader.h"
#include "protocol/MsgFrame.h"

namespace tessil::testing {

// The accepted connection as the script sees it. Every read has a 5 s time-out and
// throws std::runtime_error on time-out or close, so a broken test fails instead of hanging.
class FakeConn {
  public:
    explicit FakeConn(int fd) : fd_(fd) {}
    Frame ReadFrame();
    void Send(std::string_view bytes);
    void SendFrame(uint16_t type, std::string_view body);
    // Shuts down both directions so the client sees the close at once.
    void Close();
    // True when the client closes its side within the time-out.
    bool WaitPeerClose(int timeoutMs = 5000);

  private:
    int fd_;
    FrameReader reader_;
};

class FakeServer {
  public:
    // Starts listening at once; the script runs once a client has connected.
    explicit FakeServer(std::function<void(FakeConn&)> script);
    ~FakeServer();  // joins the script thread
    uint16_t Port() const { return port_; }
    std::string HostPort() const { return "127.0.0.1:" + std::to_string(port_); }
    // Joins the script and rethrows what it threw, as a test failure message.
    std::string Finish();

  private:
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::string error_;
    std::thread thread_;
};

}  // namespace tessil::testing
