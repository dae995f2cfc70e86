// TessilServiceApp operated as a service: each cause that keeps it from running ends a
// headless start with status 1 and one line on standard error (and shows in the panel
// otherwise), --version, SIGHUP reopening the file log, JSON log lines, and /healthz and
// /metrics in headless and panel modes, the metrics read by the Prometheus client's own
// parser. Each test runs the built executable on free ports.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "tests/server/support/AppProcess.h"
#include "tests/server/support/AppTestClient.h"

namespace tessil {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using apptest::AppProcess;
using apptest::Panel;
using apptest::UniqueName;

std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

size_t Lines(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// A listening socket on a free loopback port, held for the test's life.
class BusyPort {
  public:
    BusyPort() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = 0;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 4);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~BusyPort() { ::close(fd_); }
    uint16_t Port() const { return port_; }

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// The samples of a Prometheus text body as the official client's parser reads them:
// "name{label=value,...}" -> value. Empty when the parser rejects the body.
std::map<std::string, double> ParseMetrics(const std::string& body, std::string* error) {
    const fs::path file = fs::path(::testing::TempDir()) / (UniqueName("metrics") + ".txt");
    std::ofstream(file, std::ios::binary) << body;
    const std::string cmd =
        "/usr/bin/python3 -c 'import sys\n"
        "from prometheus_client.parser import text_string_to_metric_families as parse\n"
        "for f in parse(open(sys.argv[1]).read()):\n"
        "    for s in f.samples:\n"
        "        labels = \",\".join(k + \"=\" + v for k, v in sorted(s.labels.items()))\n"
        "        print(s.name + \"{\" + labels + \"} \" + repr(s.value))\n' " +
        file.string() + " 2>&1";
    std::map<std::string, double> out;
    FILE* p = ::popen(cmd.c_str(), "r");
    std::string text;
    char buf[4096];
    while (p && std::fgets(buf, sizeof buf, p)) text += buf;
    const int rc = p ? ::pclose(p) : -1;
    fs::remove(file);
    if (rc != 0) {
        *error = text;
        return {};
    }
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const auto blank = line.rfind(' ');
        out[line.substr(0, blank)] = std::stod(line.substr(blank + 1));
    }
    return out;
}

// "metrics http://127.0.0.1:PORT/metrics" from the banner.
uint16_t MetricsPort(AppProcess& app) {
    for (int i = 0; i < 1000; ++i) {
        const std::string err = app.Err();
        const auto at = err.find("metrics http://127.0.0.1:");
        if (at != std::string::npos && err.find('\n', at) != std::string::npos)
            return static_cast<uint16_t>(std::atoi(err.c_str() + at + 25));
        std::this_thread::sleep_for(10ms);
    }
    return 0;
}

class ProcessOps : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(apptest::AppPath()));
        logDir = fs::path(::testing::TempDir()) / UniqueName("opslogs");
        fs::create_directories(logDir);
        instance = UniqueName("ops");
    }
    void TearDown() override { fs::remove_all(logDir); }
    std::vector<std::string> Args(std::vector<std::string> more) {
        std::vector<std::string> a{"--instance",    instance,    "--log-dir",
                                   logDir.string(), "--workers", "2"};
        a.insert(a.end(), more.begin(), more.end());
        return a;
    }

    fs::path logDir;
    std::string instance;
};

TEST_F(ProcessOps, HeadlessStartEndsWithOneLineNamingTheCause) {
    BusyPort busy;
    const fs::path notADir = logDir / "plain-file";
    std::ofstream(notADir) << "x";
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string cause;
    };
    const std::string gamePort = std::to_string(apptest::FreePort());
    const std::vector<Case> cases = {
        {"game port in use",
         {"--port", std::to_string(busy.Port()), "--ops", "off"},
         "cannot listen on port " + std::to_string(busy.Port())},
        {"log folder not writable",
         {"--port", gamePort, "--ops", "off", "--log-dir", (notADir / "logs").string()},
         "the log folder " + (notADir / "logs").string() + " cannot be written"},
        {"settings file missing",
         {"--port", gamePort, "--ops", "off", "--config", (logDir / "none.ini").string()},
         "settings file " + (logDir / "none.ini").string() + ": No such file or directory"},
        {"settings file is a folder",
         {"--port", gamePort, "--ops", "off", "--config", logDir.string()},
         "is a directory"},
        {"operations port in use",
         {"--port", gamePort, "--ops", "127.0.0.1:" + std::to_string(busy.Port())},
         "operations endpoint: cannot listen on 127.0.0.1:" + std::to_string(busy.Port())},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--headless", "--start"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        AppProcess app(Args(args));
        EXPECT_EQ(app.Wait(15s), 1) << c.name << ": " << app.Err();
        EXPECT_THAT(app.Err(), StartsWith("TessilServiceApp: ")) << c.name;
        EXPECT_THAT(app.Err(), HasSubstr(c.cause)) << c.name;
        EXPECT_EQ(Lines(app.Err()), 1u) << c.name << ": " << app.Err();
    }
}

TEST_F(ProcessOps, WithThePanelTheCauseIsShownAndThePanelKeepsServing) {
    const fs::path missing = logDir / "missing.ini";
    AppProcess app(Args({"--panel", "127.0.0.1:0", "--config", missing.string()}));
    Panel panel(app.PanelPort());
    const std::string state = panel.State();
    EXPECT_THAT(state, HasSubstr("[ERR] settings file " + missing.string()));
    EXPECT_TRUE(app.Running());
    ASSERT_TRUE(panel.Press("start"));
    EXPECT_THAT(panel.State(), HasSubstr("\"Start\""));
    ASSERT_TRUE(panel.Press("close"));
    EXPECT_EQ(app.Wait(15s), 0);
    EXPECT_THAT(ReadAll(logDir / "TessilServiceApp.log"), HasSubstr("Startup : settings file "));
}

TEST_F(ProcessOps, VersionAnswersWithoutStarting) {
    AppProcess app({"--version"});
    EXPECT_EQ(app.Wait(5s), 0);
    EXPECT_EQ(app.Out(), "TessilServiceApp " TESSIL_VERSION "\n");
}

TEST_F(ProcessOps, SighupStartsANewFileLogAfterARotation) {
    AppProcess app(Args({"--headless", "--ops", "off"}));
    const fs::path log = logDir / "TessilServiceApp.log";
    for (int i = 0; i < 500 && ReadAll(log).find("Server : Create") == std::string::npos; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_THAT(ReadAll(log), HasSubstr("Server : Create"));
    fs::rename(log, logDir / "TessilServiceApp.log.1");  // what logrotate does

    app.Signal(SIGHUP);
    for (int i = 0; i < 500 && !fs::exists(log); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_THAT(ReadAll(log), HasSubstr("Server : logs reopened (SIGHUP)"));
    EXPECT_THAT(ReadAll(logDir / "TessilServiceApp.log.1"), Not(HasSubstr("reopened")));
    EXPECT_TRUE(app.Running());
    app.Signal(SIGTERM);
    EXPECT_EQ(app.Wait(15s), 0);
}

TEST_F(ProcessOps, JsonLinesOnStandardOutput) {
    const uint16_t port = apptest::FreePort();
    AppProcess app(Args(
        {"--headless", "--start", "--log-json", "--ops", "off", "--port", std::to_string(port)}));
    ASSERT_TRUE(app.WaitOut("\"msg\":\"Start\"}\n")) << app.Out() << app.Err();
    apptest::AppTestClient client;
    ASSERT_TRUE(client.Connect(port));
    client.Handshake();
    client.Request(R"({"cmd":"LOGIN","usrid":"j\"k","pass":"secret","gcode":"G"})");
    ASSERT_TRUE(app.WaitOut("LOGIN")) << app.Out();
    app.Signal(SIGTERM);
    EXPECT_EQ(app.Wait(15s), 0);
    std::istringstream out(app.Out());
    std::string line;
    while (std::getline(out, line)) {
        EXPECT_THAT(line, StartsWith("{\"time\":\"20")) << line;
        EXPECT_THAT(line, HasSubstr("\",\"log\":\"window\",\"msg\":\"")) << line;
    }
    EXPECT_THAT(app.Out(), HasSubstr(R"(\"usrid\":\"j\\\"k\",\"pass\":\"***\")"));
    EXPECT_THAT(app.Out(), Not(HasSubstr("secret")));
}

TEST_F(ProcessOps, HeadlessHealthAndParsedMetrics) {
    const uint16_t port = apptest::FreePort();
    AppProcess app(
        Args({"--headless", "--start", "--port", std::to_string(port), "--ops", "127.0.0.1:0"}));
    const uint16_t opsPort = MetricsPort(app);
    ASSERT_NE(opsPort, 0) << app.Err();
    Panel ops(opsPort);
    auto [status, body] = ops.Get("/healthz");
    EXPECT_EQ(status, 200);
    EXPECT_EQ(body,
              "{\"status\":\"listening\",\"port\":" + std::to_string(port) + ",\"connections\":0}");

    apptest::AppTestClient client;
    ASSERT_TRUE(client.Connect(port));
    client.Handshake();
    client.Request(R"({"cmd":"LOGIN","usrid":"kim","pass":"p","gcode":"G"})");
    ASSERT_TRUE(client.WaitText("LOGIN", 5s));
    client.Request(R"({"cmd":"USRLIST"})");
    ASSERT_TRUE(client.WaitText("USRLIST", 5s));

    // A request is counted once its handler returned, just after its reply was queued.
    std::string error;
    std::map<std::string, double> m;
    for (int i = 0; i < 100; ++i) {
        m = ParseMetrics(ops.Get("/metrics").second, &error);
        if (m.empty() || m["tessil_request_duration_seconds_count{}"] >= 2) break;
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_FALSE(m.empty()) << error;
    EXPECT_EQ(m["tessil_up{}"], 1);
    EXPECT_EQ(m["tessil_build_info{version=" TESSIL_VERSION "}"], 1);
    EXPECT_GT(m["process_resident_memory_bytes{}"], 1e6);
    EXPECT_GT(m["process_open_fds{}"], 3);
    EXPECT_TRUE(m.count("process_cpu_seconds_total{}"));
    EXPECT_GE(m["tessil_connections_accepted_total{}"], 1);
    EXPECT_EQ(m["tessil_requests_total{command=LOGIN}"], 1);
    EXPECT_EQ(m["tessil_requests_total{command=USRLIST}"], 1);
    EXPECT_EQ(m["tessil_request_duration_seconds_count{}"], 2);
    EXPECT_EQ(m["tessil_request_duration_seconds_bucket{le=+Inf}"], 2);
    app.Signal(SIGTERM);
    EXPECT_EQ(app.Wait(15s), 0);
}

TEST_F(ProcessOps, PanelHealthFollowsStartAndStopAndCountersAreTrueAfterStop) {
    const uint16_t port = apptest::FreePort();
    AppProcess app(Args({"--panel", "127.0.0.1:0", "--port", std::to_string(port)}));
    Panel panel(app.PanelPort());
    EXPECT_EQ(panel.Get("/healthz").first, 503);
    ASSERT_TRUE(panel.Press("start"));
    EXPECT_EQ(panel.Get("/healthz").first, 200);

    apptest::AppTestClient client;
    ASSERT_TRUE(client.Connect(port));
    client.Handshake();
    client.Request(R"({"cmd":"LOGIN","usrid":"kim","pass":"p","gcode":"G"})");
    ASSERT_TRUE(client.WaitText("LOGIN", 5s));

    ASSERT_TRUE(panel.Press("stop"));
    EXPECT_EQ(panel.Get("/healthz"), std::make_pair(503, std::string("{\"status\":\"stopped\"}")));
    std::string error;
    auto m = ParseMetrics(panel.Get("/metrics").second, &error);
    ASSERT_FALSE(m.empty()) << error;
    EXPECT_EQ(m["tessil_up{}"], 0);
    EXPECT_EQ(m["tessil_connections{}"], 0);
    EXPECT_THAT(panel.State(), HasSubstr("\"connected\":0,\"netConnected\":0"));
    ASSERT_TRUE(panel.Press("close"));
    EXPECT_EQ(app.Wait(15s), 0);
}

TEST_F(ProcessOps, TokenFromTheEnvironmentGuardsTheOperationsEndpoint) {
    AppProcess app(Args({"--headless", "--ops", "127.0.0.1:0"}), {"TESSIL_PANEL_TOKEN=envtok"});
    const uint16_t opsPort = MetricsPort(app);
    ASSERT_NE(opsPort, 0) << app.Err();
    Panel ops(opsPort);
    EXPECT_EQ(ops.Get("/metrics").first, 401);
    EXPECT_EQ(ops.Get("/metrics?token=envtok").first, 401);
    EXPECT_EQ(ops.Get("/metrics", {{"Authorization", "Bearer envtok"}}).first, 200);
    EXPECT_EQ(ops.Get("/healthz", {{"Authorization", "Bearer envtok"}}).first, 503);
    app.Signal(SIGTERM);
    EXPECT_EQ(app.Wait(15s), 0);
}

}  // namespace
}  // namespace tessil
