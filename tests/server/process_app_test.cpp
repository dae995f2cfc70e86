// TessilServiceApp as a process: the single instance, SIGTERM's close sequence, the
// buttons through the panel (START twice, STOP before START, HALT, a port in use) and
// the command line's own answers. Each test runs the built executable on free ports.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/server/support/AppTestClient.h"

extern char** environ;

namespace tessil {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

fs::path AppPath() {
    if (const char* env = std::getenv("TESSIL_APP")) return env;
    // build/<kind>/tests/server_tests -> build/<kind>/server/TessilServiceApp
    return fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "server" /
           "TessilServiceApp";
}

std::string UniqueName(const char* what) {
    static std::atomic<int> n{0};
    return std::string("proc-") + what + "-" + std::to_string(::getpid()) + "-" +
           std::to_string(++n);
}

// One child process with its standard output and error collected by a reader thread.
class AppProcess {
  public:
    explicit AppProcess(std::vector<std::string> args) {
        int out[2], err[2];
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_adddup2(&fa, err[1], 2);
        std::string exe = AppPath().string();
        std::vector<char*> argv{exe.data()};
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int rc = posix_spawn(&pid_, exe.c_str(), &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        ::close(err[1]);
        EXPECT_EQ(rc, 0) << "cannot start " << exe;
        if (rc != 0) pid_ = -1;
        reader_ = std::thread([this, o = out[0], e = err[0]] { Read(o, e); });
    }
    ~AppProcess() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            Wait(10s);
        }
        reader_.join();
    }

    pid_t Pid() const { return pid_; }
    void Signal(int sig) { ::kill(pid_, sig); }
    // The exit code, or -1 when the process is still running after the limit.
    int Wait(std::chrono::milliseconds limit) {
        auto until = std::chrono::steady_clock::now() + limit;
        while (!exited_) {
            int status = 0;
            pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                exited_ = true;
                code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                // Everything the process wrote is read before its output is looked at.
                std::unique_lock lock(mu_);
                cv_.wait_for(lock, 5s, [&] { return readerDone_; });
                break;
            }
            if (std::chrono::steady_clock::now() > until) return -1;
            std::this_thread::sleep_for(10ms);
        }
        return code_;
    }
    bool Running() { return Wait(0ms) == -1; }

    bool WaitOut(const std::string& needle, std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(mu_);
        return cv_.wait_for(lock, limit, [&] { return out_.find(needle) != std::string::npos; });
    }
    std::string Out() {
        std::lock_guard lock(mu_);
        return out_;
    }
    std::string Err() {
        std::lock_guard lock(mu_);
        return err_;
    }
    // The panel's port from its "Control panel: http://127.0.0.1:PORT/" line.
    uint16_t PanelPort() {
        if (!WaitOut("/\n")) return 0;
        std::string out = Out();
        auto at = out.find("http://127.0.0.1:");
        if (at == std::string::npos) return 0;
        return static_cast<uint16_t>(std::atoi(out.c_str() + at + 17));
    }

  private:
    void Read(int out, int err) {
        pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
        int open = 2;
        char buf[4096];
        while (open > 0 && ::poll(fds, 2, -1) > 0) {
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || fds[i].revents == 0) continue;
                ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
                if (n <= 0) {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                    continue;
                }
                std::lock_guard lock(mu_);
                (i == 0 ? out_ : err_).append(buf, static_cast<size_t>(n));
                cv_.notify_all();
            }
        }
        std::lock_guard lock(mu_);
        readerDone_ = true;
        cv_.notify_all();
    }

    pid_t pid_ = -1;
    bool exited_ = false;
    int code_ = -1;
    std::thread reader_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::string out_, err_;
    bool readerDone_ = false;
};

// The panel of a running process: button presses and the window log.
class Panel {
  public:
    explicit Panel(uint16_t port) : http_("127.0.0.1", port) { http_.set_read_timeout(30, 0); }
    bool Press(const std::string& button) {
        auto res =
            http_.Post(("/api/" + button).c_str(), {{"X-Tessil-Panel", "1"}}, "", "text/plain");
        return res && (res->status == 200 || res->status == 202);
    }
    std::string State() {
        auto res = http_.Get("/api/state");
        return res ? res->body : "";
    }

  private:
    httplib::Client http_;
};

class ProcessApp : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(AppPath())) << AppPath() << " is not built";
        logDir = fs::path(::testing::TempDir()) / UniqueName("logs");
        fs::create_directories(logDir);
        instance = UniqueName("inst");
    }
    void TearDown() override { fs::remove_all(logDir); }
    std::vector<std::string> Args(std::vector<std::string> more) {
        std::vector<std::string> a{"--instance",    instance,    "--log-dir",
                                   logDir.string(), "--workers", "2"};
        a.insert(a.end(), more.begin(), more.end());
        return a;
    }
    std::string FileLog() {
        std::ifstream in(logDir / "TessilServiceApp.log");
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    fs::path logDir;
    std::string instance;
};

TEST_F(ProcessApp, SecondInstanceExitsZeroAtOnceWithOneLine) {
    AppProcess first(Args({"--panel", "127.0.0.1:0"}));
    ASSERT_NE(first.PanelPort(), 0) << first.Err();

    AppProcess second(Args({"--panel", "127.0.0.1:0"}));
    EXPECT_EQ(second.Wait(5s), 0);
    std::string err = second.Err();
    EXPECT_THAT(err, HasSubstr("already running"));
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(second.Out(), "");
    EXPECT_TRUE(first.Running());
}

TEST_F(ProcessApp, SigtermRunsTheCloseSequenceAndExitsZero) {
    uint16_t port = apptest::FreePort();
    AppProcess app(Args({"--headless", "--start", "--port", std::to_string(port)}));
    ASSERT_TRUE(app.WaitOut("Start\n")) << app.Out() << app.Err();

    apptest::AppTestClient client;
    ASSERT_TRUE(client.Connect(port));
    client.Handshake();
    client.Request(R"({"cmd":"LOGIN","usrid":"kim","pass":"p","gcode":"G"})");
    ASSERT_TRUE(client.WaitText("LOGIN", 5s));
    ASSERT_TRUE(app.WaitOut(R"({"cmd":"LOGIN","usrid":"kim","pass":"p","gcode":"G"})"));

    app.Signal(SIGTERM);
    EXPECT_EQ(app.Wait(15s), 0) << app.Out() << app.Err();
    EXPECT_THAT(app.Out(), HasSubstr("Waiting...\nApp Close\nApp Destroy\n"));
    EXPECT_FALSE(client.NextText(2s).has_value());  // the connection was closed
    EXPECT_THAT(FileLog(), HasSubstr("Server : Create\r\n"));
}

TEST_F(ProcessApp, SigintDuringIdleExitsZero) {
    AppProcess app(Args({"--headless"}));
    // The window's creation line shows the process is past its start-up.
    for (int i = 0; i < 500 && FileLog().find("Server : Create") == std::string::npos; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_THAT(FileLog(), HasSubstr("Server : Create"));
    app.Signal(SIGINT);
    EXPECT_EQ(app.Wait(15s), 0) << app.Err();
    EXPECT_THAT(app.Out(), HasSubstr("App Close\n"));
}

TEST_F(ProcessApp, PanelButtonsStartTwiceStopFirstAndHaltKeepTheProcess) {
    uint16_t port = apptest::FreePort();
    AppProcess app(Args({"--panel", "127.0.0.1:0", "--port", std::to_string(port)}));
    Panel panel(app.PanelPort());

    // No flag: the panel is up but the server does not listen before START.
    apptest::AppTestClient probe;
    EXPECT_FALSE(probe.Connect(port));

    ASSERT_TRUE(panel.Press("stop"));
    EXPECT_THAT(panel.State(), HasSubstr(R"("log":["Disconnect All connection","Stop"])"));

    ASSERT_TRUE(panel.Press("cls"));
    ASSERT_TRUE(panel.Press("start"));
    ASSERT_TRUE(panel.Press("start"));
    EXPECT_THAT(panel.State(), HasSubstr(R"("log":["Start","Already, Started"])"));
    EXPECT_TRUE(probe.Connect(port));

    ASSERT_TRUE(panel.Press("cls"));
    ASSERT_TRUE(panel.Press("halt"));
    EXPECT_THAT(panel.State(), HasSubstr(R"("log":["End"])"));
    EXPECT_TRUE(app.Running());
    EXPECT_FALSE(probe.NextText(2s).has_value());  // HALT closed the connection
    ASSERT_TRUE(panel.Press("start"));
    EXPECT_TRUE(probe.Connect(port));

    ASSERT_TRUE(panel.Press("close"));
    EXPECT_EQ(app.Wait(15s), 0);
}

TEST_F(ProcessApp, PortInUseLogsErrAndStartCanBePressedAgain) {
    uint16_t port = apptest::FreePort();
    // Close-on-exec, or the app would inherit the listening socket and keep the port.
    int blocker = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(blocker, 4), 0);

    AppProcess app(Args({"--panel", "127.0.0.1:0", "--port", std::to_string(port)}));
    Panel panel(app.PanelPort());
    ASSERT_TRUE(panel.Press("start"));
    EXPECT_THAT(panel.State(), HasSubstr(R"("log":["[ERR] )"));
    EXPECT_TRUE(app.Running());

    ::close(blocker);
    ASSERT_TRUE(panel.Press("start"));
    EXPECT_THAT(panel.State(), HasSubstr(R"(","Start"])"));
    apptest::AppTestClient client;
    EXPECT_TRUE(client.Connect(port));

    ASSERT_TRUE(panel.Press("close"));
    EXPECT_EQ(app.Wait(15s), 0);
    EXPECT_THAT(FileLog(), HasSubstr("StartBtn : "));
}

TEST_F(ProcessApp, HelpAndBadOptionsAnswerWithoutStarting) {
    AppProcess help({"--help"});
    EXPECT_EQ(help.Wait(5s), 0);
    for (const char* opt :
         {"--start", "--headless", "--port N", "--panel ADDR:PORT", "--panel-token T",
          "--instance NAME", "--log-dir DIR", "--config FILE", "--workers N"})
        EXPECT_THAT(help.Out(), HasSubstr(opt));

    AppProcess bad({"--panel", "0.0.0.0:1234"});
    EXPECT_EQ(bad.Wait(5s), 2);
    EXPECT_THAT(bad.Err(), HasSubstr("--panel-token"));
}

}  // namespace
}  // namespace tessil
