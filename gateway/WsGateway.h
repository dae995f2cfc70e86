// The WebSocket gateway: accepts WebSocket connections, opens one TCP connection to the
// lobby server for each, and carries the lobby's frames both ways, one frame (or, from the
// browser, one or more whole frames) per binary message. Optionally serves a folder of web
// files on the same port. Owned by main; every call and callback runs on the one thread
// that calls Run().
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

struct lws;
struct lws_context;

namespace tessil {

struct GatewayOptions {
    std::string listenHost = "127.0.0.1";
    int listenPort = 29980;  // 0: an ephemeral port
    std::string serverHost = "127.0.0.1";
    int serverPort = 29999;
    std::string webRoot;  // served at "/" when set
    // Bounds, from the settings file's [Limits] section (see the README).
    int64_t connectionsPerAddress = 64;  // WebSockets open at once from one address
    int64_t maxMessage = 1 << 20;        // bytes of one message from a browser
    int64_t maxPending = 8 << 20;        // bytes queued one way before reading pauses
    static GatewayOptions FromSettings();
};

class WsGateway {
  public:
    explicit WsGateway(GatewayOptions options);
    ~WsGateway();
    WsGateway(const WsGateway&) = delete;
    WsGateway& operator=(const WsGateway&) = delete;

    // Creates the listener; false (with why) when it cannot. Port() is then known.
    bool Start(std::string& why);
    int Port() const { return port_; }
    // Serves until Stop() is called (from a signal handler or another thread).
    void Run();
    void Stop();

    // The callbacks of the two protocols (WebSocket side and server side).
    int OnWebSocket(lws* wsi, int reason, void* user, void* in, size_t len);
    int OnUpstream(lws* wsi, int reason, void* in, size_t len);

  private:
    struct Link;
    void closeLink(Link* link);

    GatewayOptions opt_;
    lws_context* context_ = nullptr;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::map<std::string, int64_t> perAddress_;
};

}  // namespace tessil
