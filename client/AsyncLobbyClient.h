// A non-blocking lobby client for game loops: the caller calls Poll() each frame (or when
// Fd() is ready in its own event loop) and gets replies and events through callbacks.
// It connects, shakes hands, logs in, and reconnects with back-off when the connection
// drops. Public header. One object is used by one thread; callbacks run inside Poll().
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "client/FrameReader.h"
#include "client/Messages.h"

namespace tessil {

class AsyncLobbyClient {
  public:
    using Millis = std::chrono::milliseconds;
    using Clock = std::chrono::steady_clock;

    enum class State {
        Stopped,      // before Start() and after Stop()
        Connecting,   // TCP connect in progress
        Handshaking,  // waiting for the verdict and AUTHOK
        LoggingIn,    // LOGIN sent, waiting for its reply
        Ready,        // requests flow; queued ones have been sent
        Waiting,      // disconnected; the next attempt is due at RetryAt()
    };

    struct Options {
        std::string host = "127.0.0.1";
        uint16_t port = 29999;
        ClientIdentity identity{"tessil-client", "", "", "1.0"};
        // With a user ID, every connection logs in before it is Ready.
        std::string usrid, pass, gcode;
        bool reconnect = true;
        Millis firstRetry{250};  // doubles after each failed attempt ...
        Millis maxRetry{8000};   // ... up to this; a Ready connection resets it
        Millis connectTimeout{5000};
        size_t maxQueued = 1000;  // requests kept while not Ready; more are refused
    };

    explicit AsyncLobbyClient(Options options);
    ~AsyncLobbyClient();
    AsyncLobbyClient(const AsyncLobbyClient&) = delete;
    AsyncLobbyClient& operator=(const AsyncLobbyClient&) = delete;

    // Every reply and event, decoded, in arrival order (LOGIN's reply included).
    void OnReply(std::function<void(const Reply&)> handler) { onReply_ = std::move(handler); }
    // Each change of state, with a short reason when a connection ends or fails.
    void OnState(std::function<void(State, const std::string& why)> handler) {
        onState_ = std::move(handler);
    }

    // Starts the first connection attempt. Never blocks.
    void Start();
    // Closes the connection and stops reconnecting; queued requests are dropped.
    void Stop();
    // Does every piece of I/O that is ready and every due attempt, without blocking, and
    // runs the callbacks. Returns the number of replies and events delivered.
    int Poll();
    // Waits up to timeout for the socket (or the next attempt), then Poll()s.
    int PollFor(Millis timeout);

    // Queues a request; it is sent once the connection is Ready (at once when it is), also
    // when queued before Start(). False when the queue is full.
    bool SendRequest(std::string_view json);
    bool SendCommand(std::string_view cmd, const std::vector<RequestMember>& members = {});

    State GetState() const { return state_; }
    // For the caller's own poll()/epoll: the socket (-1 when none) and the events wanted.
    int Fd() const { return fd_; }
    short Events() const;
    // When a Waiting client tries again.
    Clock::time_point RetryAt() const { return retryAt_; }
    // Connections made that reached Ready.
    int Sessions() const { return sessions_; }

  private:
    void setState(State s, const std::string& why = {});
    void connectNow();
    void finishConnect();
    void readSome();
    void writeSome();
    void handle(const Frame& f, std::vector<Reply>& out);
    void becomeReady();
    void fail(const std::string& why);
    void closeSocket();

    Options opt_;
    std::function<void(const Reply&)> onReply_;
    std::function<void(State, const std::string&)> onState_;
    State state_ = State::Stopped;
    int fd_ = -1;
    FrameReader reader_;
    std::string out_;                 // bytes not yet written
    std::deque<std::string> queued_;  // request JSON waiting for Ready
    bool verdict_ = false, authOk_ = false;
    Millis nextRetry_;
    Clock::time_point retryAt_{}, connectDeadline_{};
    int sessions_ = 0;
};

}  // namespace tessil
