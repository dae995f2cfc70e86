// Command-line parsing for the process entry (see AppOptions.h). Main thread only.
#include "server/AppOptions.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <thread>

#include "server/InstanceLock.h"

namespace tessil {

namespace {

bool ParseInt(const std::string& text, long lo, long hi, long& out) {
    long v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v < lo || v > hi) return false;
    out = v;
    return true;
}

// "ADDR:PORT", "[v6]:PORT".
bool ParseHostPort(const std::string& text, std::string& host, uint16_t& port) {
    std::string h, p;
    if (!text.empty() && text[0] == '[') {
        auto close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return false;
        h = text.substr(1, close - 1);
        p = text.substr(close + 2);
    } else {
        auto colon = text.rfind(':');
        if (colon == std::string::npos) return false;
        h = text.substr(0, colon);
        p = text.substr(colon + 1);
        if (h.find(':') != std::string::npos) return false;  // bare v6 needs brackets
    }
    long v = 0;
    if (h.empty() || !ParseInt(p, 0, 65535, v)) return false;
    host = h;
    port = static_cast<uint16_t>(v);
    return true;
}

}  // namespace

bool IsLoopbackHost(const std::string& host) {
    if (host == "localhost" || host == "::1" || host == "[::1]") return true;
    in_addr v4{};
    return ::inet_pton(AF_INET, host.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

int DefaultWorkerCount() {
    return static_cast<int>(
        std::clamp(std::thread::hardware_concurrency(), 1u, static_cast<unsigned>(kMaxWorkers)));
}

std::string AppUsage() {
    return "Usage: TessilServiceApp [options]\n"
           "Game lobby and room server with a control panel in the browser.\n"
           "\n"
           "  --start             press START at launch (listen for game clients at once)\n"
           "  --headless          no panel; window-log lines go to standard output\n"
           "  --port N            game clients' TCP port (default 29999)\n"
           "  --panel ADDR:PORT   where the control panel listens (default 127.0.0.1:29998;\n"
           "                      port 0 picks a free port); an address other than loopback\n"
           "                      requires --panel-token\n"
           "  --panel-token-file F  the panel token is the first line of F (or set it in\n"
           "                      the environment variable TESSIL_PANEL_TOKEN); every panel\n"
           "                      and operations request must then carry it in the header\n"
           "                      \"Authorization: Bearer T\" (or as the password of Basic)\n"
           "  --panel-token T     the same, given on the command line (visible to every\n"
           "                      local user: a warning is printed)\n"
           "  --ops ADDR:PORT|off where /metrics and /healthz are served (default: by the\n"
           "                      panel; headless: 127.0.0.1:29998); same token rules\n"
           "  --log-json          window-log lines on standard output as JSON lines\n"
           "                      (headless)\n"
           "  --version           print the version and exit\n"
           "  --instance NAME     single-instance lock name (default TessilServiceApp); a\n"
           "                      second process with the same name exits 0 at once\n"
           "  --log-dir DIR       where TessilServiceApp.log and Velmora.log go (default: the\n"
           "                      executable's directory and the current directory)\n"
           "  --config FILE       settings file (default: the executable's path + \".ini\")\n"
           "  --workers N         engine worker threads (default: one per core)\n"
           "  --cluster HOST:PORT share one lobby with other processes through this Redis\n"
           "  --cluster-password P  Redis AUTH password (or TESSIL_CLUSTER_PASSWORD)\n"
           "  --node NAME         this process's unique name in the cluster (default: host\n"
           "                      name and port)\n"
           "  -h, --help          this text\n"
           "\n"
           "Without --start the panel is served and the server listens only after START.\n"
           "SIGINT and SIGTERM run the close sequence and exit 0; SIGHUP reopens the logs.\n"
           "With --headless, a cause that keeps the server from running (a port that cannot\n"
           "be bound, a log folder that cannot be written, a --config file that cannot be\n"
           "read) ends the process with status 1 and one line on standard error.\n";
}

std::string ParseAppOptions(const std::vector<std::string>& args, AppOptions& out) {
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::string value;
        bool hasInline = false;
        if (arg.rfind("--", 0) == 0) {
            auto eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                hasInline = true;
            }
        }
        auto needValue = [&](std::string& v) -> bool {
            if (hasInline) {
                v = value;
                return true;
            }
            if (i + 1 >= args.size()) return false;
            v = args[++i];
            return true;
        };
        auto flag = [&](bool& f) -> std::string {
            if (hasInline) return "option " + arg + " takes no value";
            f = true;
            return "";
        };
        std::string v;
        long n = 0;
        if (arg == "-h" || arg == "--help") {
            if (auto e = flag(out.help); !e.empty()) return e;
        } else if (arg == "--version") {
            if (auto e = flag(out.version); !e.empty()) return e;
        } else if (arg == "--log-json") {
            if (auto e = flag(out.logJson); !e.empty()) return e;
        } else if (arg == "--ops") {
            if (!needValue(v)) return "--ops needs ADDR:PORT or off";
            out.opsSet = true;
            out.opsOff = v == "off";
            if (!out.opsOff && !ParseHostPort(v, out.opsHost, out.opsPort))
                return "--ops needs ADDR:PORT (for example 127.0.0.1:29998) or off";
        } else if (arg == "--panel-token-file") {
            if (!needValue(v) || v.empty()) return "--panel-token-file needs a file";
            out.panelTokenFile = v;
        } else if (arg == "--start") {
            if (auto e = flag(out.start); !e.empty()) return e;
        } else if (arg == "--headless") {
            if (auto e = flag(out.headless); !e.empty()) return e;
        } else if (arg == "--port") {
            if (!needValue(v) || !ParseInt(v, 1, 65535, n))
                return "--port needs a port number from 1 to 65535";
            out.port = static_cast<uint16_t>(n);
        } else if (arg == "--panel") {
            if (!needValue(v) || !ParseHostPort(v, out.panelHost, out.panelPort))
                return "--panel needs ADDR:PORT (for example 127.0.0.1:29998)";
        } else if (arg == "--panel-token") {
            if (!needValue(v) || v.empty()) return "--panel-token needs a non-empty token";
            out.panelToken = v;
            out.tokenOnCommandLine = true;
        } else if (arg == "--instance") {
            if (!needValue(v) || !InstanceLock::IsValidName(v))
                return "--instance needs a name of letters, digits, '.', '_' or '-'";
            out.instance = v;
        } else if (arg == "--log-dir") {
            if (!needValue(v) || v.empty()) return "--log-dir needs a directory";
            out.logDir = v;
        } else if (arg == "--config") {
            if (!needValue(v) || v.empty()) return "--config needs a file";
            out.configFile = v;
        } else if (arg == "--workers") {
            if (!needValue(v) || !ParseInt(v, 1, kMaxWorkers, n))
                return "--workers needs a number from 1 to " + std::to_string(kMaxWorkers);
            out.workers = static_cast<int>(n);
        } else if (arg == "--cluster") {
            if (!needValue(v) || !ParseHostPort(v, out.clusterHost, out.clusterPort) ||
                out.clusterPort == 0)
                return "--cluster needs HOST:PORT of Redis (for example 127.0.0.1:6379)";
        } else if (arg == "--cluster-password") {
            if (!needValue(v)) return "--cluster-password needs a password";
            out.clusterPassword = v;
        } else if (arg == "--node") {
            if (!needValue(v) || !InstanceLock::IsValidName(v))
                return "--node needs a name of letters, digits, '.', '_' or '-'";
            out.node = v;
        } else {
            return "unknown option " + args[i];
        }
    }
    const bool tokenGiven = !out.panelToken.empty() || !out.panelTokenFile.empty() ||
                            std::getenv(kPanelTokenEnv) != nullptr;
    if (!out.headless && !IsLoopbackHost(out.panelHost) && !tokenGiven)
        return "--panel on a non-loopback address requires a token (--panel-token-file)";
    if (out.opsSet && !out.opsOff && !IsLoopbackHost(out.opsHost) && !tokenGiven)
        return "--ops on a non-loopback address requires a token (--panel-token-file)";
    return "";
}

}  // namespace tessil
