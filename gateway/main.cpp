// tessil-gateway: the WebSocket entry to the lobby. Parses the command line, loads the
// settings file, prints the listening line and serves until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "gateway/WsGateway.h"
#include "platform/Settings.h"

namespace {

constexpr const char* kUsage = R"(usage: tessil-gateway [options]

Lets WebSocket clients (browsers) use the lobby server: each WebSocket gets its own TCP
connection to the server; binary messages carry the lobby's frames both ways.

options:
  --listen ADDR:PORT   where WebSockets connect (default 127.0.0.1:29980; port 0: any)
  --server HOST:PORT   the lobby server (default 127.0.0.1:29999)
  --web DIR            also serve the files of DIR over HTTP on the same port
  --config FILE        settings file; its [Limits] keys GatewayConnectionsPerAddress,
                       GatewayMaxMessage and GatewayMaxPending bound the gateway
  --help               this text

exit status: 0 stopped by a signal, 2 bad usage, 3 cannot listen
)";

tessil::WsGateway* running = nullptr;

void onSignal(int) {
    if (running != nullptr) running->Stop();
}

bool hostPort(const std::string& text, std::string& host, int& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    char* end = nullptr;
    const long p = std::strtol(text.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || p < 0 || p > 65535 || colon + 1 == text.size()) return false;
    host = text.substr(0, colon);
    port = static_cast<int>(p);
    return !host.empty();
}

}  // namespace

int main(int argc, char** argv) {
    std::string listen = "127.0.0.1:29980", server = "127.0.0.1:29999", web, config;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        std::string* into = a == "--listen"   ? &listen
                            : a == "--server" ? &server
                            : a == "--web"    ? &web
                            : a == "--config" ? &config
                                              : nullptr;
        if (into == nullptr || i + 1 >= argc) {
            std::fputs(kUsage, stderr);
            return 2;
        }
        *into = argv[++i];
    }
    if (!config.empty()) {
        if (const std::string why = tessil::settings::Load(config); !why.empty()) {
            std::fprintf(stderr, "tessil-gateway: %s\n", why.c_str());
            return 2;
        }
    }
    tessil::GatewayOptions opt = tessil::GatewayOptions::FromSettings();
    int serverPort = 0;
    if (!hostPort(listen, opt.listenHost, opt.listenPort) ||
        !hostPort(server, opt.serverHost, serverPort) || serverPort == 0) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    opt.serverPort = serverPort;
    opt.webRoot = web;
    tessil::WsGateway gateway(opt);
    std::string why;
    if (!gateway.Start(why)) {
        std::fprintf(stderr, "tessil-gateway: %s\n", why.c_str());
        return 3;
    }
    running = &gateway;
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::printf("Gateway listening on ws://%s:%d/ for the server %s\n", opt.listenHost.c_str(),
                gateway.Port(), server.c_str());
    std::fflush(stdout);
    gateway.Run();
    running = nullptr;
    return 0;
}
