// What the server window shows (counters, check box, button states, the figures behind
// /metrics) and the controls a view may press. TMainForm implements it; the control panel
// reads and presses through it. View and Metrics: any thread; the controls: control thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessil {

inline constexpr std::string_view kMainFormCaption = "Tessil Svc Sever 1.6.0";

// What the window shows: the four counters, the check box and the state of the buttons.
struct TMainFormView {
    int64_t processCnt = 0;  // requests handed to request handling
    int32_t conLabel = 0;    // connections counted by the connect and disconnect events
    int32_t netConCnt = 0;   // the message server's connection count
    int32_t roomCnt = 0;     // open rooms
    bool running = false;    // the message server listens
    bool viewLog = false;
    bool stopEnabled = true;
    bool closing = false;  // the close sequence has begun
    bool closed = false;   // the close sequence has ended
    std::string cluster;   // one line on the cluster ("" without cluster mode)
};

// What a lobby shared with other processes (cluster mode) adds to the window and /metrics.
struct TClusterFigures {
    bool enabled = false;    // false: the embedded lobby; nothing below is shown
    std::string node;        // this process's node name
    bool connected = false;  // joined to the cluster through Redis
    int64_t users = -1;      // cluster-wide counts (-1: not known yet)
    int64_t rooms = -1;
    int64_t standIns = 0;     // members of this node's rooms who sit on other nodes
    int64_t remoteSeats = 0;  // users of this node seated in other nodes' rooms
    int64_t outbox = 0;       // messages to other nodes waiting for delivery
};

// The figures behind /metrics, refreshed on the status and counter ticks.
struct TAppMetrics {
    bool listening = false;  // the message server is active
    uint16_t port = 0;       // its port while listening
    int32_t connections = 0;
    int64_t requests = 0;
    int32_t rooms = 0;
    int32_t users = 0;
    uint64_t bytesIn = 0;
    uint64_t bytesOut = 0;
    TClusterFigures cluster;
};

class IFormControl {
  public:
    virtual ~IFormControl() = default;
    virtual TMainFormView View() const = 0;
    virtual TAppMetrics Metrics() const = 0;
    virtual void StartBtnClick() = 0;
    virtual void StopBtnClick() = 0;
    virtual void Button2Click() = 0;  // HALT
    virtual void Button1Click() = 0;  // CLS
    virtual void SetViewLog(bool checked) = 0;
    // The lobby as tables for the panel (JSON arrays); any thread.
    virtual std::string UsersJson() const { return "[]"; }
    virtual std::string RoomsJson() const { return "[]"; }
    // Control thread: logs the user out as a forced logout does and closes its connection;
    // false when no such user is logged in.
    virtual bool Kick(const std::string&) { return false; }
};

}  // namespace tessil
