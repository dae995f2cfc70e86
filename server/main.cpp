// The process entry of TessilServiceApp: command line, single instance, logs, the control
// loop with the window's logic, the panel or headless mode, and SIGINT/SIGTERM. Main thread;
// a helper thread waits for the signals and posts the close to the control loop.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "cluster/ClusterLobby.h"
#include "platform/AppLog.h"
#include "platform/Settings.h"
#include "server/AppLobby.h"
#include "server/AppOptions.h"
#include "server/ControlLoop.h"
#include "server/InstanceLock.h"
#include "server/MainForm.h"
#include "server/panel/PanelServer.h"

namespace {

using namespace tessil;

std::filesystem::path ExecutablePath(const char* argv0) {
    std::error_code ec;
    auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) return self;
    return std::filesystem::absolute(argv0, ec);
}

// Waits for SIGINT and SIGTERM (blocked in every thread) and asks for the close once.
class SignalWaiter {
  public:
    explicit SignalWaiter(std::function<void()> onSignal) : onSignal_(std::move(onSignal)) {
        thread_ = std::thread([this] { Run(); });
    }
    ~SignalWaiter() {
        stop_ = true;
        pthread_kill(thread_.native_handle(), SIGTERM);
        thread_.join();
    }

    // Blocks the two signals for the calling thread and every thread it creates later.
    static void BlockSignals() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
    }

  private:
    void Run() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        bool asked = false;
        while (!stop_) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0 || stop_) continue;
            if (!asked) {
                asked = true;
                onSignal_();
            }
        }
    }

    std::function<void()> onSignal_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
    // Before any thread exists, so that every thread inherits the mask and the signals
    // reach only the waiter.
    SignalWaiter::BlockSignals();
    AppOptions opts;
    std::string error = ParseAppOptions(std::vector<std::string>(argv + 1, argv + argc), opts);
    if (!error.empty()) {
        std::cerr << "TessilServiceApp: " << error << " (see --help)\n";
        return 2;
    }
    if (opts.help) {
        std::cout << AppUsage();
        return 0;
    }

    InstanceLock instance(opts.instance);
    if (instance.HeldElsewhere()) {
        std::cerr << "TessilServiceApp: an instance named \"" << opts.instance
                  << "\" is already running; exiting.\n";
        return 0;
    }
    if (!instance.Acquired()) {
        std::cerr << "TessilServiceApp: " << instance.Error() << "\n";
        return 1;
    }

    const std::filesystem::path exe = ExecutablePath(argv[0]);
    std::string fileLogDir = opts.logDir.empty() ? exe.parent_path().string() : opts.logDir;
    if (!opts.logDir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(opts.logDir, ec);
    }
    filelog::SetPath((std::filesystem::path(fileLogDir) / "TessilServiceApp.log").string());
    std::string configFile = opts.configFile.empty() ? exe.string() + ".ini" : opts.configFile;
    windowlog::SetEchoToStdout(opts.headless);
    {
        std::error_code ec;
        if (std::filesystem::is_regular_file(configFile, ec)) {
            const std::string settingsError = settings::Load(configFile);
            if (!settingsError.empty()) std::cerr << "TessilServiceApp: " << settingsError << "\n";
        }
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
    SignalWaiter signals(requestClose);

    std::unique_ptr<PanelServer> panel;
    if (!opts.headless) {
        PanelOptions panelOptions{opts.panelHost, opts.panelPort, opts.panelToken};
        panel = std::make_unique<PanelServer>(form, loop, requestClose, panelOptions);
        form.SetOnViewChanged([p = panel.get()] { p->NotifyChanged(); });
        if (!panel->Start(&error)) {
            std::cerr << "TessilServiceApp: " << error << "\n";
            form.SetOnViewChanged(nullptr);
            return 1;
        }
        std::string host = opts.panelHost.find(':') != std::string::npos
                               ? "[" + opts.panelHost + "]"
                               : opts.panelHost;
        std::cout << "Control panel: http://" << host << ":" << panel->BoundPort() << "/"
                  << (opts.panelToken.empty() ? "" : " (open it with ?token=YOUR_TOKEN)")
                  << std::endl;
    }
    if (opts.start) loop.Post([&] { form.StartBtnClick(); });

    loop.Run();

    if (panel) panel->Stop();
    form.SetOnViewChanged(nullptr);
    filelog::Flush();
    return 0;
}
