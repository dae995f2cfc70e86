// Prometheus text exposition and the health answer (see PanelMetrics.h). Any thread.
#include "server/panel/PanelMetrics.h"

#include <cstdio>
#include <string_view>

#include "iocpengine/EngineStats.h"
#include "platform/LimitEvents.h"
#include "platform/Metrics.h"
#include "server/panel/ProcessStats.h"

#ifndef TESSIL_VERSION
#define TESSIL_VERSION "0.0.0"
#endif

namespace tessil {

namespace {

void Family(std::string& out, std::string_view name, std::string_view type, std::string_view help,
            const std::string& value) {
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
    out.append(name).append(" ").append(value).append("\n");
}

std::string Number(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6f", v);
    return buf;
}

}  // namespace

std::string FormatMetrics(const TAppMetrics& m) {
    std::string out;
    Family(out, "tessil_up", "gauge", "1 while the server listens for game clients, else 0.",
           m.listening ? "1" : "0");
    out += "# HELP tessil_build_info The server's version.\n# TYPE tessil_build_info gauge\n";
    out += "tessil_build_info{version=\"" TESSIL_VERSION "\"} 1\n";
    Family(out, "tessil_connections", "gauge", "Open client connections.",
           std::to_string(m.connections));
    // The engine's counters: accepts, accepts shed at once, closes by reason.
    std::string closes;
    enginestats::ForEachStat([&](std::string_view name, uint64_t v) {
        if (name == "accepts") {
            Family(out, "tessil_connections_accepted_total", "counter",
                   "Client connections accepted since start.", std::to_string(v));
        } else if (name == "accepts_shed") {
            Family(out, "tessil_connections_shed_total", "counter",
                   "Connections accepted and closed at once (no descriptor, or a cap).",
                   std::to_string(v));
        } else if (name.substr(0, 7) == "closes_") {
            closes += "tessil_connections_closed_total{reason=\"" + std::string(name.substr(7)) +
                      "\"} " + std::to_string(v) + "\n";
        }
    });
    out +=
        "# HELP tessil_connections_closed_total Client connections closed, by reason.\n"
        "# TYPE tessil_connections_closed_total counter\n" +
        closes;
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
        Family(out, "tessil_cluster_outbox", "gauge",
               "Messages to other nodes waiting until they can be delivered.",
               std::to_string(c.outbox));
    }

    const TProcessStats p = ReadProcessStats();
    Family(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
           std::to_string(p.residentBytes));
    Family(out, "process_cpu_seconds_total", "counter", "User and system CPU time in seconds.",
           Number(p.cpuSeconds));
    Family(out, "process_open_fds", "gauge", "Open file descriptors.", std::to_string(p.openFds));
    Family(out, "process_max_fds", "gauge", "Limit of open file descriptors.",
           std::to_string(p.maxFds));
    Family(out, "process_start_time_seconds", "gauge", "Start time since the epoch in seconds.",
           Number(p.startTimeSeconds));

    out +=
        "# HELP tessil_refusals_total Events refused because a limit was reached, by limit.\n"
        "# TYPE tessil_refusals_total counter\n";
    limits::ForEachRefusal([&](const std::string& limit, uint64_t n) {
        out += "tessil_refusals_total{limit=\"" + limit + "\"} " + std::to_string(n) + "\n";
    });
    out += metrics::FormatRequests();
    out += metrics::FormatCollectors();
    return out;
}

std::string HealthJson(const TAppMetrics& m, int* status) {
    if (m.listening) {
        *status = 200;
        return "{\"status\":\"listening\",\"port\":" + std::to_string(m.port) +
               ",\"connections\":" + std::to_string(m.connections) + "}";
    }
    *status = 503;
    return "{\"status\":\"stopped\"}";
}

}  // namespace tessil
