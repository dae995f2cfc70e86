// The process entry of TessilServiceApp: command line, single instance, logs, the control
// loop with the window's logic, the panel or headless mode, the operations endpoint, and
// the signals. Main thread; a helper thread waits for the signals: SIGINT and SIGTERM post
// the close to the control loop, SIGHUP reopens the logs.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "cluster/ClusterLobby.h"
#include "platform/AppLog.h"
#include "platform/LogFile.h"
#include "platform/Settings.h"
#include "server/AppLobby.h"
#include "server/AppOptions.h"
#include "server/ControlLoop.h"
#include "server/InstanceLock.h"
#include "server/MainForm.h"
#include "server/panel/OpsServer.h"
#include "server/panel/PanelServer.h"

namespace {

using namespace tessil;

constexpr const char* kProgram = "TessilServiceApp";

std::filesystem::path ExecutablePath(const char* argv0) {
    std::error_code ec;
    auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) return self;
    return std::filesystem::absolute(argv0, ec);
}

// Waits for SIGINT, SIGTERM and SIGHUP (blocked in every thread). The first SIGINT or
// SIGTERM asks for the close; every SIGHUP asks for the logs to be reopened.
class SignalWaiter {
  public:
    SignalWaiter(std::function<void()> onClose, std::function<void()> onHangup)
        : onClose_(std::move(onClose)), onHangup_(std::move(onHangup)) {
        thread_ = std::thread([this] { Run(); });
    }
    ~SignalWaiter() {
        stop_ = true;
        pthread_kill(thread_.native_handle(), SIGTERM);
        thread_.join();
    }

    // Blocks the signals for the calling thread and every thread it creates later.
    static void BlockSignals() {
        sigset_t set = Set();
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
    }

  private:
    static sigset_t Set() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGHUP);
        return set;
    }
    void Run() {
        sigset_t set = Set();
        bool asked = false;
        while (!stop_) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0 || stop_) continue;
            if (sig == SIGHUP) {
                onHangup_();
            } else if (!asked) {
                asked = true;
                onClose_();
            }
        }
    }

    std::function<void()> onClose_;
    std::function<void()> onHangup_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

std::string ReadTokenFile(const std::string& file, std::string* error) {
    std::ifstream in(file);
    std::string token;
    if (!in || !std::getline(in, token)) {
        *error = "cannot read the token file " + file;
        return "";
    }
    while (!token.empty() && (token.back() == '\r' || token.back() == ' ')) token.pop_back();
    if (token.empty()) *error = "the token file " + file + " has an empty first line";
    return token;
}

// Whether a folder takes new files: creates it if needed and writes the file log's file.
bool LogFolderWritable(const std::filesystem::path& dir, std::string* why) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return TLogFile::Touch((dir / "TessilServiceApp.log").string(), false, why);
}

void ApplyLogSettings() {
    windowlog::Configure(
        static_cast<size_t>(settings::Int("Limits", "WindowLogLineBytes", 2048, 64, 1 << 20)),
        static_cast<size_t>(
            settings::Int("Limits", "WindowLogBytes", 4 << 20, 64 << 10, 1ll << 32)));
    const TLogFileLimits l = TLogFileLimits::FromSettings();
    filelog::Configure(l.maxBytes, l.linesPerSecond);
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread exists, so that every thread inherits the mask and the signals
    // reach only the waiter.
    SignalWaiter::BlockSignals();
    AppOptions opts;
    std::string error = ParseAppOptions(std::vector<std::string>(argv + 1, argv + argc), opts);
    if (!error.empty()) {
        std::cerr << kProgram << ": " << error << " (see --help)\n";
        return 2;
    }
    if (opts.help) {
        std::cout << AppUsage();
        return 0;
    }
    if (opts.version) {
        std::cout << kProgram << " " << TESSIL_VERSION << "\n";
        return 0;
    }

    // The panel token: a file, the environment, or (with a warning) the command line.
    std::string token = opts.panelToken;
    if (!opts.panelTokenFile.empty()) {
        token = ReadTokenFile(opts.panelTokenFile, &error);
        if (!error.empty()) {
            std::cerr << kProgram << ": " << error << "\n";
            return 1;
        }
    } else if (token.empty()) {
        if (const char* env = std::getenv(kPanelTokenEnv)) token = env;
    }
    if (opts.tokenOnCommandLine)
        std::cerr << kProgram << ": warning: --panel-token is visible to every local user; "
                  << "use --panel-token-file or " << kPanelTokenEnv << "\n";

    InstanceLock instance(opts.instance);
    if (instance.HeldElsewhere()) {
        std::cerr << kProgram << ": an instance named \"" << opts.instance
                  << "\" is already running; exiting.\n";
        return 0;
    }
    if (!instance.Acquired()) {
        std::cerr << kProgram << ": " << instance.Error() << "\n";
        return 1;
    }

    // Causes that keep the server from running as asked. Headless, the first ends the
    // process; with the panel, they are shown there and the panel keeps serving.
    std::vector<std::string> startupErrors;

    const std::filesystem::path exe = ExecutablePath(argv[0]);
    std::string configFile = opts.configFile.empty() ? exe.string() + ".ini" : opts.configFile;
    {
        std::error_code ec;
        if (!opts.configFile.empty() && std::filesystem::is_directory(configFile, ec)) {
            startupErrors.push_back("settings file " + configFile + ": is a directory");
        } else if (!opts.configFile.empty() || std::filesystem::exists(configFile, ec)) {
            const std::string settingsError = settings::Load(configFile);
            if (!settingsError.empty()) startupErrors.push_back("settings file " + settingsError);
        }
    }
    ApplyLogSettings();

    const std::filesystem::path logDir =
        opts.logDir.empty() ? exe.parent_path() : std::filesystem::path(opts.logDir);
    std::string why;
    if (LogFolderWritable(logDir, &why))
        filelog::SetPath((logDir / "TessilServiceApp.log").string());
    else
        startupErrors.push_back("the log folder " + logDir.string() + " cannot be written (" + why +
                                ")");
    windowlog::SetEcho(!opts.headless ? windowlog::Echo::kOff
                       : opts.logJson ? windowlog::Echo::kJson
                                      : windowlog::Echo::kText);

    if (opts.headless && !startupErrors.empty()) {
        std::cerr << kProgram << ": " << startupErrors.front() << "\n";
        return 1;
    }

    ControlLoop loop;
    TMainFormOptions formOptions;
    formOptions.port = opts.port;
    formOptions.workers = opts.workers;
    formOptions.engineLogDir = opts.logDir;
    std::shared_ptr<IAppLobby> lobby;
    if (opts.clusterHost.empty()) {
        lobby = MakeAppLobby(configFile);
    } else {
        cluster::ClusterConfig cc;
        cc.redis.host = opts.clusterHost;
        cc.redis.port = opts.clusterPort;
        cc.redis.password = opts.clusterPassword;
        if (cc.redis.password.empty()) {
            if (const char* env = std::getenv("TESSIL_CLUSTER_PASSWORD")) cc.redis.password = env;
        }
        cc.node = opts.node;
        if (cc.node.empty()) {
            char host[256] = {};
            ::gethostname(host, sizeof host - 1);
            cc.node = std::string(host) + "-" + std::to_string(opts.port);
        }
        cc.aliveTtl =
            std::chrono::milliseconds(settings::Int("Cluster", "AliveTtlMs", 3000, 500, 600000));
        cc.tick = std::chrono::milliseconds(settings::Int("Cluster", "TickMs", 1000, 100, 60000));
        std::cout << "Cluster node " << cc.node << " on Redis " << opts.clusterHost << ":"
                  << opts.clusterPort << std::endl;
        lobby = cluster::MakeClusterLobby(configFile, std::move(cc));
    }
    TMainForm form(loop, std::move(lobby), formOptions);

    std::atomic<bool> closeAsked{false};
    auto requestClose = [&] {
        if (closeAsked.exchange(true)) return;
        loop.Post([&] {
            form.FormClose();
            loop.Quit();
        });
    };
    // Every file is opened by name for each batch of lines, so a file that logrotate
    // moved away is left at once; the line marks where the new file begins.
    SignalWaiter signals(requestClose, [] { filelog::Write("Server", "logs reopened (SIGHUP)"); });

    const THttpLimits httpLimits = THttpLimits::FromSettings();
    std::unique_ptr<PanelServer> panel;
    if (!opts.headless) {
        PanelOptions panelOptions{opts.panelHost, opts.panelPort, token, !opts.opsSet, httpLimits};
        panel = std::make_unique<PanelServer>(form, loop, requestClose, panelOptions);
        form.SetOnViewChanged([p = panel.get()] { p->NotifyChanged(); });
        if (!panel->Start(&error)) {
            std::cerr << kProgram << ": control panel: " << error << "\n";
            form.SetOnViewChanged(nullptr);
            return 1;
        }
        for (const std::string& e : startupErrors) {
            windowlog::Add("[ERR] " + e);
            filelog::Write("Startup", e);
        }
        std::cout << "Control panel: http://" << panel->BoundAddress() << "/"
                  << (token.empty() ? "" : " (log in with any user name and the panel token)")
                  << std::endl;
    }

    // The operations endpoint: on the panel unless given an address of its own.
    std::unique_ptr<OpsServer> ops;
    std::string opsAddress = panel && !opts.opsSet ? panel->BoundAddress() : "";
    if (!opts.opsOff && (opts.opsSet || opts.headless)) {
        const std::string host = opts.opsSet ? opts.opsHost : "127.0.0.1";
        const uint16_t port = opts.opsSet ? opts.opsPort : 29998;
        ops = std::make_unique<OpsServer>(form, token, httpLimits);
        if (ops->Start(host, port, &error)) {
            opsAddress = ops->BoundAddress();
        } else {
            ops.reset();
            if (opts.headless && opts.opsSet) {
                std::cerr << kProgram << ": operations endpoint: " << error << "\n";
                return 1;
            }
            // The default address may be taken by another instance: served without it.
            if (opts.headless)
                std::cerr << kProgram << ": warning: operations endpoint not served: " << error
                          << " (use --ops ADDR:PORT)\n";
            windowlog::Add("[ERR] operations endpoint: " + error);
            filelog::Write("Startup", "operations endpoint: " + error);
        }
    }

    // The banner, once the process runs as asked (a headless START that fails ends the
    // process with its one line instead).
    const std::string banner =
        std::string(kProgram) + " " + TESSIL_VERSION + ": game port " + std::to_string(opts.port) +
        (opts.start ? "" : " (listening after START)") +
        (panel ? ", panel http://" + panel->BoundAddress() + "/" : "") +
        (opsAddress.empty() ? "" : ", metrics http://" + opsAddress + "/metrics");
    int exitCode = 0;
    if (opts.start) {
        loop.Post([&] {
            form.StartBtnClick();
            if (opts.headless && form.ListenPort() == 0) {
                // Nothing else could start it: say why and end.
                std::cerr << kProgram << ": cannot listen on port " << opts.port << ": "
                          << form.LastStartError() << std::endl;
                exitCode = 1;
                loop.Quit();
                return;
            }
            std::cerr << banner << std::endl;
        });
    } else {
        std::cerr << banner << std::endl;
    }

    loop.Run();

    if (ops) ops->Stop();
    if (panel) panel->Stop();
    form.SetOnViewChanged(nullptr);
    filelog::Flush();
    return exitCode;
}
