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
    return out;
}

}  // namespace tessil
