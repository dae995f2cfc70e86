// Prometheus text exposition of TAppMetrics (see PanelMetrics.h). Any thread.
#include "server/panel/PanelMetrics.h"

#include <string_view>

namespace tessil {

namespace {

void Family(std::string& out, std::string_view name, std::string_view type, std::string_view help,
            const std::string& value) {
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
    out.append(name).append(" ").append(value).append("\n");
}

}  // namespace

std::string FormatMetrics(const TAppMetrics& m) {
    std::string out;
    Family(out, "tessil_connections", "gauge", "Open client connections.",
           std::to_string(m.connections));
    Family(out, "tessil_requests_processed_total", "counter",
           "Data messages handed to request handling since start.", std::to_string(m.requests));
    Family(out, "tessil_rooms", "gauge", "Open rooms.", std::to_string(m.rooms));
    Family(out, "tessil_users", "gauge", "Logged-in users.", std::to_string(m.users));
    Family(out, "tessil_received_bytes_total", "counter",
           "Bytes received from game clients since start.", std::to_string(m.bytesIn));
    Family(out, "tessil_sent_bytes_total", "counter", "Bytes sent to game clients since start.",
           std::to_string(m.bytesOut));
    if (m.cluster.enabled) {
        const auto& c = m.cluster;
        out.append("# HELP tessil_cluster_node This process's node name in the cluster.\n");
        out.append("# TYPE tessil_cluster_node gauge\n");
        out.append("tessil_cluster_node{node=\"" + c.node + "\"} 1\n");
        Family(out, "tessil_cluster_connected", "gauge",
               "1 while the node is joined to the cluster through Redis.", c.connected ? "1" : "0");
        if (c.users >= 0)
            Family(out, "tessil_cluster_users", "gauge", "Logged-in users on every node.",
                   std::to_string(c.users));
        if (c.rooms >= 0)
            Family(out, "tessil_cluster_rooms", "gauge", "Open rooms on every node.",
                   std::to_string(c.rooms));
        Family(out, "tessil_cluster_stand_ins", "gauge",
               "Members of this node's rooms who sit on other nodes.", std::to_string(c.standIns));
        Family(out, "tessil_cluster_remote_seats", "gauge",
               "Users of this node seated in other nodes' rooms.", std::to_string(c.remoteSeats));
    }
    return out;
}

}  // namespace tessil
