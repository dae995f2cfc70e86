// The message server: framed messages over the TCP engine. Owns, while active, one
// reactor, listener, requestor, executor, engine logger and socket-library manager, and
// every client record (a shared_ptr in acceptance order). Events run on engine workers.
// (Interface contract; the implementation fills the private part.)
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "iocpengine/ClientRec.h"
#include "iocpengine/ConnectionLimits.h"
#include "iocpengine/MsgTransport.h"

namespace tessil {

class TCommonMsgServer : public IMsgTransport {
  public:
    using TOnClientConnectedEvent = std::function<void(TCommonMsgServer&, const TClientRecPtr&)>;
    using TOnClientDisconnectedEvent = std::function<void(TCommonMsgServer&, const TClientRecPtr&)>;
    using TOnClientAuthenticationEvent =
        std::function<void(TCommonMsgServer&, const TClientRecPtr&, bool& authenticated)>;
    using TOnDataReceivedEvent =
        std::function<void(TCommonMsgServer&, const TClientRecPtr&, std::string_view body)>;
    using TOnErrorEvent =
        std::function<void(TCommonMsgServer&, const TClientRecPtr&, const std::string& msg)>;
    using TOnStreamSentEvent =
        std::function<void(TCommonMsgServer&, const TClientRecPtr&, uint64_t size)>;

    TCommonMsgServer();
    ~TCommonMsgServer() override;
    TCommonMsgServer(const TCommonMsgServer&) = delete;
    TCommonMsgServer& operator=(const TCommonMsgServer&) = delete;

    // Events: set before Active := true, or detach (set to nullptr) at any time; a detached
    // event is never raised afterwards.
    void SetOnClientConnected(TOnClientConnectedEvent fn);
    void SetOnClientDisconnected(TOnClientDisconnectedEvent fn);
    void SetOnClientAuthentication(TOnClientAuthenticationEvent fn);
    void SetOnDataReceived(TOnDataReceivedEvent fn);
    void SetOnError(TOnErrorEvent fn);
    void SetOnStreamSent(TOnStreamSentEvent fn);
    // Whether the sent event is raised (on until turned off); any thread, at any time. Off,
    // a completed send is not walked frame by frame for it: the panel turns it off while
    // nobody views the log, the only place the event shows.
    void SetStreamSentEvents(bool on);

    uint16_t Port() const;
    void SetPort(uint16_t port);
    uint32_t Timeout() const;  // seconds (timer tacts); 0 = none
    void SetTimeout(uint32_t seconds);
    int WorkerCount() const;
    void SetWorkerCount(int n);  // reactor workers, default 4
    std::string LogDir() const;
    void SetLogDir(std::string dir);  // where "Velmora.log" goes ("" = current directory)

    bool Active() const;
    // Open on true, Close on false; raises EDnException (with the system's error text)
    // when the port cannot be bound, leaving the server inactive and usable.
    void SetActive(bool value);
    void Open();
    void Close();

    void DisconnectAll();
    void DisconnectClient(const TClientRecPtr& client) override;
    void SendString(std::string_view body, const TClientRecPtr& client) override;
    void SendFrame(const std::shared_ptr<const std::string>& frame,
                   const TClientRecPtr& client) override;
    bool IsActive() const override { return Active(); }
    void ChargeReply(const TClientRecPtr& client, uint64_t bytes) override;
    int32_t GetClientCount() const override;

    // Counters for the panel's metrics (monotonic, 64-bit).
    // Unsent bytes one connection may hold (default 64 MiB); a client that stops reading
    // is closed with a log line once its queue passes this.
    void SetMaxPendingOutput(uint64_t bytes);
    // The connection bounds (admission, deadlines, sizes by phase, backlog, request rate);
    // set before Active := true. A server without them keeps only the limit above.
    void SetLimits(const TConnectionLimits& limits);

    uint64_t BytesIn() const;
    uint64_t BytesOut() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tessil
