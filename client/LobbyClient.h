// A blocking client of the lobby server: connect, handshake, heartbeat, client list,
// requests, and replies and events decoded. One object per connection, used by one
// thread at a time; every wait has a time-out (poll), nothing runs in the background.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "client/FrameReader.h"
#include "client/Messages.h"

namespace tessil {

// Failures of the connection. Time-outs are not errors: waits return nothing instead.
class ClientError : public std::runtime_error {
  public:
    enum class Kind { Connect, Closed, Io, Protocol };
    ClientError(Kind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
    Kind kind() const { return kind_; }

  private:
    Kind kind_;
};

class LobbyClient {
  public:
    using Millis = std::chrono::milliseconds;
    static constexpr Millis kDefaultWait{5000};

    LobbyClient() = default;
    ~LobbyClient();
    LobbyClient(const LobbyClient&) = delete;
    LobbyClient& operator=(const LobbyClient&) = delete;

    // "host:port" (IPv4 or a name). Throws ClientError(Connect) with the reason.
    void Connect(std::string_view hostPort, Millis timeout = kDefaultWait);
    void Connect(const std::string& host, uint16_t port, Millis timeout = kDefaultWait);
    bool IsConnected() const { return fd_ >= 0 && !peerClosed_; }
    // Closes the socket; frames already received stay readable.
    void Close();
    // The socket, for callers that poll it together with other descriptors.
    int Fd() const { return fd_; }

    // Frames. Sends block until the bytes are handed to the kernel (at most sendTimeout).
    void SendFrame(uint16_t type, std::string_view body);
    void SendRaw(std::string_view bytes);
    // The next frame of any kind (frames already received first).
    std::optional<Frame> ReadFrame(Millis timeout = kDefaultWait);
    // The first frame that matches; frames passed over stay queued in their order.
    std::optional<Frame> WaitFrame(const std::function<bool(const Frame&)>& match,
                                   Millis timeout = kDefaultWait);
    // Reads what arrives within the time-out (returns at the first bytes). False when
    // nothing arrived. Throws ClientError(Closed) once the peer has closed.
    bool Pump(Millis timeout);
    // True when the peer closes the connection within the time-out; frames received
    // meanwhile stay queued.
    bool WaitClosed(Millis timeout = kDefaultWait);
    // Frames received and not yet taken.
    size_t Pending() const { return pending_.size(); }

    // The handshake: sends the identity and returns the verdict (true for "T...").
    std::optional<bool> Handshake(const ClientIdentity& who, Millis timeout = kDefaultWait);
    // One heartbeat round trip; false on time-out.
    bool Heartbeat(Millis timeout = kDefaultWait);
    // Asks for the client list and collects chunks up to the last one.
    struct ClientList {
        std::vector<Frame> chunks;
        std::vector<ClientIdentity> clients;
    };
    std::optional<ClientList> RequestClientList(Millis timeout = kDefaultWait);

    // Requests: JSON text as it stands, or a command with members.
    void SendRequest(std::string_view json);
    void SendCommand(std::string_view cmd, const std::vector<RequestMember>& members = {});
    // The next reply or event (data frame); other frames stay queued.
    std::optional<Reply> WaitReply(Millis timeout = kDefaultWait);
    // The first reply or event whose cmd equals cmd exactly; others stay queued.
    std::optional<Reply> WaitFor(std::string_view cmd, Millis timeout = kDefaultWait);
    // Every reply or event already received, decoded, oldest first.
    std::vector<Reply> TakeReplies();

    void SetSendTimeout(Millis timeout) { sendTimeout_ = timeout; }

  private:
    void requireOpen() const;
    // Reads once from the socket; false on time-out.
    bool readSome(Millis timeout);
    std::optional<Frame> takeMatching(const std::function<bool(const Frame&)>& match);

    int fd_ = -1;
    bool peerClosed_ = false;
    FrameReader reader_;
    std::deque<Frame> pending_;
    Millis sendTimeout_{10000};
};

}  // namespace tessil
