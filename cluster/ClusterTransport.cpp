// The cluster's message-server decorator (see ClusterTransport.h). Any thread.
#include "cluster/ClusterTransport.h"

#include <mutex>

#include "protocol/MsgFrame.h"

namespace tessil::cluster {

void ClusterTransport::DetachStandIns() {
    std::unique_lock lock(mu_);
    standIns_ = nullptr;
}

bool ClusterTransport::divertFrame(const TClientRecPtr& client, std::string_view frame) {
    std::shared_lock lock(mu_);
    if (standIns_ == nullptr || !standIns_->IsStandIn(client.get())) return false;
    standIns_->SendToStandIn(client, frame);
    return true;
}

void ClusterTransport::SendString(std::string_view body, const TClientRecPtr& client) {
    if (client) {
        std::shared_lock lock(mu_);
        if (standIns_ != nullptr && standIns_->IsStandIn(client.get())) {
            standIns_->SendToStandIn(client, EncodeFrame(mtData, body));
            return;
        }
    }
    server_.SendString(body, client);
}

void ClusterTransport::SendFrame(const std::shared_ptr<const std::string>& frame,
                                 const TClientRecPtr& client) {
    if (client && frame && divertFrame(client, *frame)) return;
    server_.SendFrame(frame, client);
}

void ClusterTransport::DisconnectClient(const TClientRecPtr& client) {
    if (client) {
        std::shared_lock lock(mu_);
        if (standIns_ != nullptr && standIns_->IsStandIn(client.get())) {
            standIns_->CloseStandIn(client);
            return;
        }
    }
    server_.DisconnectClient(client);
}

}  // namespace tessil::cluster
