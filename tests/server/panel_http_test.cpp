// Control panel over real HTTP on a loopback ephemeral port, driven by a fake form: the
// page, the buttons and their guard, the token, /metrics and the event stream.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/AppLog.h"
#include "protocol/TextUtils.h"
#include "server/ControlLoop.h"
#include "server/FormView.h"
#include "server/panel/PanelServer.h"

namespace tessil {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;

class FakeForm : public IFormControl {
  public:
    TMainFormView View() const override {
        std::lock_guard lock(mu);
        return view;
    }
    TAppMetrics Metrics() const override {
        std::lock_guard lock(mu);
        return metrics;
    }
    void StartBtnClick() override { Press("start"); }
    void StopBtnClick() override { Press("stop"); }
    void Button2Click() override { Press("halt"); }
    void Button1Click() override { Press("cls"); }
    void SetViewLog(bool on) override { Press(on ? "viewlog:1" : "viewlog:0"); }

    void Press(const std::string& what) {
        if (onPress) onPress();
        std::lock_guard lock(mu);
        pressed.push_back(what);
        pressedOnLoop.push_back(loop->InLoopThread());
    }

    ControlLoop* loop = nullptr;
    std::function<void()> onPress;
    mutable std::mutex mu;
    TMainFormView view;
    TAppMetrics metrics;
    std::vector<std::string> pressed;
    std::vector<bool> pressedOnLoop;
};

// A running panel on 127.0.0.1 with a free port, its control loop and fake form.
class PanelFixture : public ::testing::Test {
  protected:
    void StartPanel(std::string token = "") {
        windowlog::Clear();
        form.loop = &loop;
        loop.StartThread();
        panel = std::make_unique<PanelServer>(
            form, loop, [this] { ++closeRequests; },
            PanelOptions{"127.0.0.1", 0, token, true, THttpLimits{}});
        std::string error;
        ASSERT_TRUE(panel->Start(&error)) << error;
        client = std::make_unique<httplib::Client>("127.0.0.1", panel->BoundPort());
        client->set_read_timeout(5, 0);
    }
    void TearDown() override {
        if (panel) panel->Stop();
        loop.Quit();
        loop.Join();
    }
    httplib::Headers PanelHeader() { return {{"X-Tessil-Panel", "1"}}; }

    ControlLoop loop;
    FakeForm form;
    std::unique_ptr<PanelServer> panel;
    std::unique_ptr<httplib::Client> client;
    std::atomic<int> closeRequests{0};
};

// Reads /events on a thread of its own and keeps everything received.
class EventReader {
  public:
    EventReader(uint16_t port, std::string path) {
        thread_ = std::thread([this, port, path] {
            httplib::Client c("127.0.0.1", port);
            c.set_read_timeout(30, 0);
            c.Get(path.c_str(), [this](const char* data, size_t len) {
                std::lock_guard lock(mu_);
                text_.append(data, len);
                cv_.notify_all();
                return !stop_;
            });
            std::lock_guard lock(mu_);
            ended_ = true;
            cv_.notify_all();
        });
    }
    ~EventReader() {
        {
            std::lock_guard lock(mu_);
            stop_ = true;
        }
        thread_.join();
    }
    // Waits until the received text contains `what` after position `from`.
    bool WaitFor(const std::string& what, std::chrono::milliseconds limit = 5s) {
        std::unique_lock lock(mu_);
        return cv_.wait_for(lock, limit, [&] { return text_.find(what) != std::string::npos; });
    }
    bool WaitEnded(std::chrono::milliseconds limit) {
        std::unique_lock lock(mu_);
        return cv_.wait_for(lock, limit, [&] { return ended_; });
    }
    std::string Text() {
        std::lock_guard lock(mu_);
        return text_;
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::string text_;
    bool stop_ = false;
    bool ended_ = false;
    std::thread thread_;
};

TEST_F(PanelFixture, PageIsEmbeddedAndShowsTheWindowsControls) {
    StartPanel();
    auto res = client->Get("/");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_THAT(res->get_header_value("Content-Type"), HasSubstr("text/html"));
    for (const char* text :
         {"Tessil Svc Sever 1.6.0", ">START<", ">STOP<", ">HALT<", ">CLS<", "View Log",
          "Process :", "Connected :", "Net Connected :", "Room:", "id=\"LogMemo\"", "Close"})
        EXPECT_THAT(res->body, HasSubstr(text)) << text;
    EXPECT_EQ(client->Get("/nothing-here")->status, 404);
}

TEST_F(PanelFixture, ButtonsRunOnTheControlThreadAndNeedThePanelHeader) {
    StartPanel();
    // Without the header a page of another origin could press buttons by a plain POST.
    EXPECT_EQ(client->Post("/api/start")->status, 403);
    EXPECT_EQ(client->Post("/api/close")->status, 403);
    EXPECT_TRUE(form.pressed.empty());
    EXPECT_EQ(closeRequests, 0);

    for (const char* path : {"/api/start", "/api/stop", "/api/halt", "/api/cls"})
        EXPECT_EQ(client->Post(path, PanelHeader(), "", "text/plain")->status, 200) << path;
    EXPECT_EQ(client->Post("/api/viewlog?on=1", PanelHeader(), "", "text/plain")->status, 200);
    EXPECT_EQ(client->Post("/api/viewlog?on=0", PanelHeader(), "", "text/plain")->status, 200);
    EXPECT_THAT(form.pressed,
                ::testing::ElementsAre("start", "stop", "halt", "cls", "viewlog:1", "viewlog:0"));
    EXPECT_THAT(form.pressedOnLoop, ::testing::Each(true));

    auto res = client->Post("/api/close", PanelHeader(), "", "text/plain");
    EXPECT_EQ(res->status, 202);
    EXPECT_EQ(closeRequests, 1);
}

TEST_F(PanelFixture, PanelAnswersWhileTheControlThreadIsBusy) {
    StartPanel();
    std::atomic<bool> release{false};
    form.onPress = [&] {
        while (!release) std::this_thread::sleep_for(1ms);
    };
    std::thread press([&] {
        httplib::Client c("127.0.0.1", panel->BoundPort());
        c.set_read_timeout(10, 0);
        c.Post("/api/stop", PanelHeader(), "", "text/plain");
    });
    std::this_thread::sleep_for(50ms);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(client->Get("/metrics")->status, 200);
    EXPECT_EQ(client->Get("/api/state")->status, 200);
    EXPECT_EQ(client->Get("/")->status, 200);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    release = true;
    press.join();
}

TEST_F(PanelFixture, WithoutATokenOnlyLoopbackHostNamesAreServed) {
    StartPanel();
    struct Case {
        std::string host;
        int status;
    };
    for (const Case& c : std::vector<Case>{{"127.0.0.1:8", 200},
                                           {"localhost:8", 200},
                                           {"[::1]:8", 200},
                                           {"localhost", 200},
                                           {"attacker.example:8", 403},
                                           {"127.0.0.1.attacker.example", 403},
                                           {"127.1.2.3", 200},
                                           {"", 403}}) {
        auto res = client->Get("/api/state", {{"Host", c.host}});
        ASSERT_TRUE(res) << c.host;
        EXPECT_EQ(res->status, c.status) << c.host;
    }
}

// The Authorization value a browser sends after its login prompt.
std::string Basic(std::string_view userColonPassword) {
    std::string b64 = Base64Encode(userColonPassword);
    while (!b64.empty() && (b64.back() == '\n' || b64.back() == '\r')) b64.pop_back();
    return "Basic " + b64;
}

struct TokenCase {
    const char* name;
    std::string path;
    httplib::Headers headers;
    int status;
};

TEST_F(PanelFixture, EveryRequestMustCarryTheTokenWhenOneIsSet) {
    StartPanel("s3cret");
    std::vector<TokenCase> cases = {
        {"page without token", "/", {}, 401},
        {"metrics without token", "/metrics", {}, 401},
        {"state without token", "/api/state", {}, 401},
        {"events without token", "/events", {}, 401},
        {"wrong bearer", "/", {{"Authorization", "Bearer s3creT"}}, 401},
        {"longer bearer", "/", {{"Authorization", "Bearer s3cret-"}}, 401},
        // A token in the address would stay in browser histories and server logs.
        {"query", "/?token=s3cret", {}, 401},
        {"metrics with query", "/metrics?token=s3cret", {}, 401},
        {"basic with wrong password", "/", {{"Authorization", Basic("u:s3cre")}}, 401},
        {"basic without colon", "/", {{"Authorization", Basic("s3cret")}}, 401},
        {"bearer", "/", {{"Authorization", "Bearer s3cret"}}, 200},
        {"basic (a browser's login prompt)", "/", {{"Authorization", Basic("any:s3cret")}}, 200},
        {"health with bearer", "/healthz", {{"Authorization", "Bearer s3cret"}}, 503},
    };
    for (const auto& c : cases) {
        auto res = client->Get(c.path.c_str(), c.headers);
        ASSERT_TRUE(res) << c.name;
        EXPECT_EQ(res->status, c.status) << c.name;
    }
    httplib::Headers both = PanelHeader();
    EXPECT_EQ(client->Post("/api/start", both, "", "text/plain")->status, 401);
    both.emplace("Authorization", "Bearer s3cret");
    EXPECT_EQ(client->Post("/api/start", both, "", "text/plain")->status, 200);
    EXPECT_THAT(form.pressed, ::testing::ElementsAre("start"));
}

TEST_F(PanelFixture, MetricsUseThePrometheusTextFormat) {
    StartPanel();
    form.metrics.connections = 3;
    form.metrics.requests = 12;
    form.metrics.rooms = 2;
    form.metrics.users = 5;
    form.metrics.bytesIn = 1000;
    form.metrics.bytesOut = 2000;
    auto res = client->Get("/metrics");
    ASSERT_TRUE(res);
    EXPECT_THAT(res->get_header_value("Content-Type"), HasSubstr("text/plain; version=0.0.4"));
    for (const char* line :
         {"# TYPE tessil_connections gauge\ntessil_connections 3\n",
          "# TYPE tessil_requests_processed_total counter\ntessil_requests_processed_total 12\n",
          "# TYPE tessil_rooms gauge\ntessil_rooms 2\n",
          "# TYPE tessil_users gauge\ntessil_users 5\n",
          "# TYPE tessil_received_bytes_total counter\ntessil_received_bytes_total 1000\n",
          "# TYPE tessil_sent_bytes_total counter\ntessil_sent_bytes_total 2000\n"})
        EXPECT_THAT(res->body, HasSubstr(line));
}

TEST_F(PanelFixture, MetricsOfAClusterNodeNameTheNodeAndItsState) {
    StartPanel();
    EXPECT_THAT(client->Get("/metrics")->body, Not(HasSubstr("tessil_cluster")));
    form.metrics.cluster = TClusterFigures{true, "n1", false, 12, 3, 2, 1, 7};
    const std::string body = client->Get("/metrics")->body;
    for (const char* line :
         {"tessil_cluster_node{node=\"n1\"} 1\n", "tessil_cluster_connected 0\n",
          "tessil_cluster_users 12\n", "tessil_cluster_rooms 3\n", "tessil_cluster_stand_ins 2\n",
          "tessil_cluster_remote_seats 1\n", "tessil_cluster_outbox 7\n"})
        EXPECT_THAT(body, HasSubstr(line));
}

TEST_F(PanelFixture, EventStreamCarriesStateLogLinesCountersAndClears) {
    StartPanel();
    windowlog::Add("before the page opened");
    EventReader events(panel->BoundPort(), "/events");
    ASSERT_TRUE(events.WaitFor("event: state"));
    EXPECT_THAT(events.Text(), HasSubstr("\"log\":[\"before the page opened\"]"));

    // A request text is client input: quotes, a line break and markup arrive as one
    // escaped JSON string on one data line (the line break already escaped by the log).
    windowlog::Add("{\"cmd\":\"x\"}\n<script>");
    ASSERT_TRUE(
        events.WaitFor("event: log\ndata: "
                       "{\"log\":[\"{\\\"cmd\\\":\\\"x\\\"}\\\\n<script>\"],\"meta\":[{\"t\":\""))
        << events.Text();

    {
        std::lock_guard lock(form.mu);
        form.view.conLabel = 7;
        form.view.netConCnt = 6;
    }
    panel->NotifyChanged();
    ASSERT_TRUE(events.WaitFor("\"connected\":7,\"netConnected\":6")) << events.Text();

    windowlog::Clear();
    windowlog::Add("after clear");
    ASSERT_TRUE(events.WaitFor("event: cls")) << events.Text();
    ASSERT_TRUE(events.WaitFor("after clear"));

    // Stopping the panel ends an open stream instead of hanging on it.
    auto t0 = std::chrono::steady_clock::now();
    panel->Stop();
    EXPECT_TRUE(events.WaitEnded(5s));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
}

TEST_F(PanelFixture, BindFailureIsReported) {
    StartPanel();
    PanelServer second(
        form, loop, [] {}, PanelOptions{"127.0.0.1", panel->BoundPort(), "", true, THttpLimits{}});
    std::string error;
    EXPECT_FALSE(second.Start(&error));
    EXPECT_THAT(error, HasSubstr("cannot listen on 127.0.0.1:"));
}

}  // namespace
}  // namespace tessil
