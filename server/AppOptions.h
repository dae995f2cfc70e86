// The process's command line: parsing, validation and the --help text. Used once by the
// process entry on the main thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tessil {

// The most engine workers --workers accepts.
inline constexpr int kMaxWorkers = 64;

// One engine worker per core (at least 1, at most kMaxWorkers): more workers than cores
// only switch threads and split the rounds whose writes leave together (see
// docs/performance.md).
int DefaultWorkerCount();

struct AppOptions {
    bool help = false;
    bool version = false;
    bool start = false;     // press START at launch
    bool headless = false;  // no panel; window-log lines to standard output
    uint16_t port = 29999;  // the message server's port
    std::string panelHost = "127.0.0.1";
    uint16_t panelPort = 29998;       // 0: any free port (printed at start)
    std::string panelToken;           // required on every panel request when set
    bool tokenOnCommandLine = false;  // --panel-token: visible to every local user
    std::string panelTokenFile;       // --panel-token-file: the token is the first line
    // The operations endpoint (/metrics, /healthz). Not set: the panel serves it, or
    // 127.0.0.1:29998 when headless.
    bool opsSet = false;
    bool opsOff = false;
    std::string opsHost;
    uint16_t opsPort = 0;
    bool logJson = false;  // window-log lines on standard output as JSON lines
    std::string instance = "TessilServiceApp";
    std::string logDir;      // "": file log next to the executable, engine log in cwd
    std::string configFile;  // "": the executable's path with ".ini"
    int workers = DefaultWorkerCount();
    // Cluster mode: the Redis address ("" = the embedded lobby), its AUTH password (or the
    // environment variable TESSIL_CLUSTER_PASSWORD) and this node's unique name ("" = host
    // name and port).
    std::string clusterHost;
    uint16_t clusterPort = 0;
    std::string clusterPassword;
    std::string node;
};

// Parses argv[1..]; returns an empty string on success, else what is wrong.
std::string ParseAppOptions(const std::vector<std::string>& args, AppOptions& out);

// The --help text.
std::string AppUsage();

// True for the numeric addresses 127.0.0.0/8 and ::1 (with or without brackets) and for
// "localhost". A name is never taken for loopback by its text: the panel checks the
// address it actually bound.
bool IsLoopbackHost(const std::string& host);

// The environment variable that may carry the panel token.
inline constexpr const char* kPanelTokenEnv = "TESSIL_PANEL_TOKEN";

}  // namespace tessil
