// The cluster's message-server decorator (see ClusterTransport.h). Any thread.
#include "cluster/ClusterTransport.h"

#include "protocol/MsgFrame.h"

namespace tessil::cluster {

void ClusterTransport::SendString(std::string_view body, const TClientRecPtr& client) {
    if (client && standIns_.IsStandIn(client.get())) {
        standIns_.SendToStandIn(client, EncodeFrame(mtData, body));
        return;
    }
    server_.SendString(body, client);
}

void ClusterTransport::SendFrame(std::shared_ptr<const std::string> frame,
                                 const TClientRecPtr& client) {
    if (client && frame && standIns_.IsStandIn(client.get())) {
        standIns_.SendToStandIn(client, *frame);
        return;
    }
    server_.SendFrame(std::move(frame), client);
}

void ClusterTransport::DisconnectClient(const TClientRecPtr& client) {
    if (client && standIns_.IsStandIn(client.get())) {
        standIns_.CloseStandIn(client);
        return;
    }
    server_.DisconnectClient(client);
}

}  // namespace tessil::cluster
