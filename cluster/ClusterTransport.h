// ClusterTransport: the message server as the lobby sees it in cluster mode. Frames for a
// real connection go to the message server; frames for a stand-in record of a member on
// another node go to that node. Owned by the cluster lobby; any thread, also under the
// registry lock (it only queues).
#pragma once

#include <memory>
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
        : server_(server), standIns_(standIns) {}

    bool IsActive() const override { return server_.IsActive(); }
    void SendString(std::string_view body, const TClientRecPtr& client) override;
    void SendFrame(std::shared_ptr<const std::string> frame, const TClientRecPtr& client) override;
    void DisconnectClient(const TClientRecPtr& client) override;
    int32_t GetClientCount() const override { return server_.GetClientCount(); }

  private:
    IMsgTransport& server_;
    IStandIns& standIns_;
};

}  // namespace tessil::cluster
