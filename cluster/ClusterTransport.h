// ClusterTransport: the message server as the lobby sees it in cluster mode. Frames for a
// real connection go to the message server; frames for a stand-in record of a member on
// another node go to that node. Owned by the cluster lobby; any thread, also under the
// registry lock (it only queues).
#pragma once

#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "iocpengine/MsgTransport.h"

namespace tessil::cluster {

class ClusterTransport final : public IMsgTransport {
  public:
    // What the cluster lobby does for stand-in records; none of it may block.
    class IStandIns {
      public:
        virtual ~IStandIns() = default;
        virtual bool IsStandIn(const TClientRec* client) const = 0;
        virtual void SendToStandIn(const TClientRecPtr& client, std::string_view frame) = 0;
        virtual void CloseStandIn(const TClientRecPtr& client) = 0;
    };

    ClusterTransport(IMsgTransport& server, IStandIns& standIns)
        : server_(server), standIns_(&standIns) {}

    // The cluster lobby is going away: from now on every frame goes to the message server
    // (the reply path may outlive the lobby by the closes it has scheduled). Waits for a
    // call into the lobby that is running.
    void DetachStandIns();

    bool IsActive() const override { return server_.IsActive(); }
    void SendString(std::string_view body, const TClientRecPtr& client) override;
    void SendFrame(const std::shared_ptr<const std::string>& frame,
                   const TClientRecPtr& client) override;
    void DisconnectClient(const TClientRecPtr& client) override;
    int32_t GetClientCount() const override { return server_.GetClientCount(); }
    void ChargeReply(const TClientRecPtr& client, uint64_t bytes) override {
        server_.ChargeReply(client, bytes);
    }

  private:
    IMsgTransport& server_;
    // Null once detached; held shared while a call uses it.
    mutable std::shared_mutex mu_;
    IStandIns* standIns_;
    // True when the stand-ins took the call.
    bool divertFrame(const TClientRecPtr& client, std::string_view frame);
};

}  // namespace tessil::cluster
