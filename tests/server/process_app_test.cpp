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

#include "tests/server/support/AppProcess.h"
#include "tests/server/support/AppTestClient.h"

namespace tessil {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
namespace fs = std::filesystem;
using apptest::AppPath;
using apptest::AppProcess;
using apptest::Panel;
using apptest::UniqueName;

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
    AppProcess app(Args({"--headless", "--start", "--port", std::to_string(port), "--ops", "off"}));
    ASSERT_TRUE(app.WaitOut("Start\n")) << app.Out() << app.Err();

    apptest::AppTestClient client;
    ASSERT_TRUE(client.Connect(port));
    client.Handshake();
    client.Request(R"({"cmd":"LOGIN","usrid":"kim","pass":"p","gcode":"G"})");
    ASSERT_TRUE(client.WaitText("LOGIN", 5s));
    ASSERT_TRUE(app.WaitOut(R"({"cmd":"LOGIN","usrid":"kim","pass":"***","gcode":"G"})"));

    app.Signal(SIGTERM);
    EXPECT_EQ(app.Wait(15s), 0) << app.Out() << app.Err();
    // Each line carries its UTC time: "2026-12-10T13:51:32.123Z Waiting...".
    const std::string out = app.Out();
    const size_t waiting = out.find("Z Waiting...\n");
    const size_t close = out.find("Z App Close\n");
    const size_t destroy = out.find("Z App Destroy\n");
    ASSERT_NE(waiting, std::string::npos) << out;
    EXPECT_TRUE(waiting < close && close < destroy && destroy != std::string::npos) << out;
    EXPECT_EQ(out.find("\"pass\":\"p\""), std::string::npos) << out;
    EXPECT_FALSE(client.NextText(2s).has_value());  // the connection was closed
    EXPECT_THAT(FileLog(), HasSubstr("Server : Create\r\n"));
}

TEST_F(ProcessApp, SigintDuringIdleExitsZero) {
    AppProcess app(Args({"--headless", "--ops", "off"}));
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
