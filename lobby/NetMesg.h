// TNetMesg, the one reply path: queues encoded replies and events, closes after a pause.
// Owned by the application while a message server exists; any thread, also under locks.
#pragma once

#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "iocpengine/MsgTransport.h"
#include "platform/Scheduler.h"

namespace tessil {

// Never blocks its caller: a send only queues the encoded frame on the connection's
// ordered write queue, so replies to one client leave in the order they were handed
// over. A delayed close is a scheduler entry holding the client record; late work for a
// client that is gone is dropped by the message server. After Detach (or destruction)
// every send and close is a silent no-op, and no scheduled close touches the server.
class TNetMesg {
  public:
    explicit TNetMesg(IMsgTransport* svr, Scheduler& scheduler = Scheduler::Shared());
    ~TNetMesg();
    TNetMesg(const TNetMesg&) = delete;
    TNetMesg& operator=(const TNetMesg&) = delete;

    // True while a server is attached and listening.
    bool IsValidNet() const;

    // Encodes the UTF-8 text (Base64 with line breaks) and queues it to the client.
    void Tessil_SendString(std::string_view text, const TClientRecPtr& client);

    // Charges the client's request rate for a list reply of `bytes` (see IMsgTransport).
    void ChargeReply(const TClientRecPtr& client, uint64_t bytes);

    // Closes the client's connection after max(pause, 1) ms, on the scheduler thread.
    void Tessil_Disconnect_Client(const TClientRecPtr& client, int32_t pause);

    // One data frame carrying the encoded text, to be shared by many recipients.
    static std::shared_ptr<const std::string> MakeFrame(std::string_view text);
    // Queues a frame made by MakeFrame to one client.
    void SendFrame(const std::shared_ptr<const std::string>& frame, const TClientRecPtr& client);

    // Queues one frame to many clients (a room notice) under a single hold of the server,
    // not one per recipient. Lives on the caller's stack for the length of one loop; with
    // no server attached or active (or no TNetMesg at all) it sends nothing.
    class Fanout {
      public:
        Fanout(const TNetMesg* net, std::shared_ptr<const std::string> frame);
        Fanout(const Fanout&) = delete;
        Fanout& operator=(const Fanout&) = delete;
        void To(const TClientRecPtr& client);

      private:
        std::shared_lock<std::shared_mutex> lock_;
        IMsgTransport* svr_ = nullptr;
        std::shared_ptr<const std::string> frame_;
    };

    // Forgets the server; waits for a close that is running right now. Called before the
    // server is freed.
    void Detach();

  private:
    struct State {
        mutable std::shared_mutex guard;
        IMsgTransport* svr = nullptr;
    };
    std::shared_ptr<State> state_;
    Scheduler& scheduler_;
};

}  // namespace tessil
