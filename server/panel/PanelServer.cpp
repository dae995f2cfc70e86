// The control panel's HTTP routes, event streams and token check (see PanelServer.h).
// Routes run on the HTTP library's worker threads; Start and Stop on the main thread.
#include "server/panel/PanelServer.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <sys/socket.h>

#include <chrono>
#include <string_view>
#include <vector>

#include "platform/AppLog.h"
#include "protocol/TextUtils.h"
#include "server/ControlLoop.h"
#include "server/FormView.h"
#include "server/panel/PanelMetrics.h"
#include "server/panel/PanelPage.h"

namespace tessil {

namespace {

using namespace std::chrono_literals;

// A button press waits this long for the control thread (STOP and Close take ~1.5 s).
constexpr auto kButtonLimit = 30s;
// An idle event stream sends a comment this often, which also detects a gone browser.
constexpr auto kKeepAlive = 10s;
// Event streams send at most one update per this interval, however busy the server is.
constexpr auto kMinPushInterval = 50ms;
// Header every button press must carry: a page of another origin cannot send it
// without a preflight, which the panel never approves.
constexpr const char* kPanelHeader = "X-Tessil-Panel";

bool SameText(std::string_view a, std::string_view b) {
    // Takes the same time wherever the texts differ, so a token cannot be guessed bytewise.
    if (b.empty()) return false;
    size_t diff = a.size() ^ b.size();
    for (size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i % b.size()]);
    return diff == 0;
}

// Under heavy traffic (every request is a log line) one push could carry tens of
// thousands of lines, more than a page can take in; a burst is cut to its newest lines
// behind one line that says how many were left out.
constexpr size_t kMaxLinesPerPush = 1000;

void TrimBurst(std::vector<std::string>& lines) {
    if (lines.size() <= kMaxLinesPerPush) return;
    size_t skipped = lines.size() - kMaxLinesPerPush;
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(skipped));
    lines.insert(lines.begin(), "... " + std::to_string(skipped) + " lines not shown");
}

std::string LinesJson(const std::vector<std::string>& lines) {
    std::string out = "[";
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) out += ',';
        out += '"';
        out += JsonEscape(lines[i]);
        out += '"';
    }
    out += ']';
    return out;
}

std::string Event(std::string_view name, const std::string& json) {
    std::string out = "event: ";
    out.append(name).append("\ndata: ").append(json).append("\n\n");
    return out;
}

void NoStore(httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
}

}  // namespace

struct PanelServer::Stream {
    bool started = false;
    uint64_t seenChanges = 0;
    uint64_t seenClears = 0;
    uint64_t logSeq = 0;
    std::string lastView;
    std::chrono::steady_clock::time_point lastPush{};
};

PanelServer::PanelServer(IFormControl& form, ControlLoop& loop, std::function<void()> requestClose,
                         PanelOptions options)
    : form_(form),
      loop_(loop),
      requestClose_(std::move(requestClose)),
      options_(std::move(options)),
      http_(std::make_unique<httplib::Server>()) {
    Routes();
}

PanelServer::~PanelServer() {
    Stop();
}

bool PanelServer::Authorized(const std::string& authorization,
                             const std::string& queryToken) const {
    if (options_.token.empty()) return true;
    constexpr std::string_view kBearer = "Bearer ";
    if (authorization.rfind(kBearer, 0) == 0 &&
        SameText(std::string_view(authorization).substr(kBearer.size()), options_.token))
        return true;
    return !queryToken.empty() && SameText(queryToken, options_.token);
}

bool PanelServer::HostAllowed(const std::string& hostHeader) const {
    // Without a token the panel trusts whoever reaches it on loopback; a page elsewhere
    // could still reach it through a name that resolves to 127.0.0.1 (DNS rebinding), so
    // only loopback names are accepted then. With a token the token is the guard.
    if (!options_.token.empty()) return true;
    std::string host = hostHeader;
    if (!host.empty() && host[0] == '[') {
        host = host.substr(0, host.find(']') + 1);
    } else if (auto colon = host.find(':'); colon != std::string::npos) {
        host = host.substr(0, colon);
    }
    in_addr v4{};
    if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    return host == "localhost" || host == "[::1]";
}

std::string PanelServer::ViewJson() const {
    TMainFormView v = form_.View();
    auto b = [](bool x) { return x ? "true" : "false"; };
    std::string out = "{\"caption\":\"";
    out += JsonEscape(kMainFormCaption);
    out += "\",\"process\":" + std::to_string(v.processCnt);
    out += ",\"connected\":" + std::to_string(v.conLabel);
    out += ",\"netConnected\":" + std::to_string(v.netConCnt);
    out += ",\"room\":" + std::to_string(v.roomCnt);
    out += ",\"cluster\":\"" + JsonEscape(v.cluster) + "\"";
    out += std::string(",\"viewLog\":") + b(v.viewLog);
    out += std::string(",\"stopEnabled\":") + b(v.stopEnabled);
    out += std::string(",\"closing\":") + b(v.closing);
    out += std::string(",\"closed\":") + b(v.closed);
    out += '}';
    return out;
}

void PanelServer::NotifyChanged() {
    std::lock_guard lock(mu_);
    ++changes_;
    cv_.notify_all();
}

bool PanelServer::StreamStep(Stream& s, std::string& out) {
    if (!s.started) {
        s.started = true;
        {
            std::lock_guard lock(mu_);
            s.seenChanges = changes_;
            s.seenClears = clears_;
        }
        auto lines = windowlog::Snapshot(&s.logSeq);
        s.lastView = ViewJson();
        out = Event("state", "{\"view\":" + s.lastView + ",\"log\":" + LinesJson(lines) + "}");
        s.lastPush = std::chrono::steady_clock::now();
        return true;
    }
    bool stop = false;
    uint64_t clears = 0;
    {
        std::unique_lock lock(mu_);
        cv_.wait_until(lock, s.lastPush + kMinPushInterval, [this] { return stopping_; });
        cv_.wait_for(lock, kKeepAlive, [&] { return stopping_ || changes_ != s.seenChanges; });
        s.seenChanges = changes_;
        clears = clears_;
        stop = stopping_;
    }
    if (clears != s.seenClears) {
        s.seenClears = clears;
        auto lines = windowlog::Snapshot(&s.logSeq);
        out += Event("cls", "{}");
        if (!lines.empty()) out += Event("log", LinesJson(lines));
    } else {
        auto lines = windowlog::Since(s.logSeq, &s.logSeq);
        TrimBurst(lines);
        if (!lines.empty()) out += Event("log", LinesJson(lines));
    }
    std::string view = ViewJson();
    if (view != s.lastView) {
        out += Event("view", view);
        s.lastView = std::move(view);
    }
    if (out.empty()) out = ": keep-alive\n\n";
    s.lastPush = std::chrono::steady_clock::now();
    return !stop;
}

void PanelServer::Routes() {
    using httplib::Request;
    using httplib::Response;
    auto& http = *http_;
    http.new_task_queue = [] { return new httplib::ThreadPool(16); };
    http.set_keep_alive_timeout(1);
    http.set_payload_max_length(4096);
    // Only SO_REUSEADDR: the library's default also sets SO_REUSEPORT, which would let a
    // second process bind the same panel port and take half of its connections.
    http.set_socket_options([](int sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    });

    http.set_pre_routing_handler([this](const Request& req, Response& res) {
        if (!HostAllowed(req.get_header_value("Host"))) {
            res.status = 403;
            res.set_content("unexpected Host\n", "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (Authorized(req.get_header_value("Authorization"), req.get_param_value("token")))
            return httplib::Server::HandlerResponse::Unhandled;
        res.status = 401;
        res.set_header("WWW-Authenticate", "Bearer");
        res.set_content("panel token required\n", "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    });

    http.Get("/", [](const Request&, Response& res) {
        NoStore(res);
        res.set_header("X-Frame-Options", "DENY");
        res.set_content(std::string(PanelPageHtml()), "text/html; charset=utf-8");
    });

    http.Get("/api/state", [this](const Request&, Response& res) {
        NoStore(res);
        auto lines = windowlog::Snapshot(nullptr);
        res.set_content("{\"view\":" + ViewJson() + ",\"log\":" + LinesJson(lines) + "}",
                        "application/json");
    });

    http.Get("/metrics", [this](const Request&, Response& res) {
        NoStore(res);
        res.set_content(FormatMetrics(form_.Metrics()), "text/plain; version=0.0.4");
    });

    http.Get("/events", [this](const Request&, Response& res) {
        NoStore(res);
        auto stream = std::make_shared<Stream>();
        ++openStreams_;
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, stream](size_t, httplib::DataSink& sink) {
                std::string out;
                bool more = StreamStep(*stream, out);
                if (!sink.write(out.data(), out.size())) return false;
                if (!more) sink.done();
                return true;
            },
            [this](bool) { --openStreams_; });
    });

    // A button runs on the control thread; `on` is the request's "on" parameter.
    auto button = [this, &http](const char* path, std::function<void(const std::string&)> act) {
        http.Post(path, [this, act](const Request& req, Response& res) {
            NoStore(res);
            if (req.get_header_value(kPanelHeader) != "1") {
                res.status = 403;
                res.set_content("missing panel header\n", "text/plain");
                return;
            }
            bool done =
                loop_.Call([act, on = req.get_param_value("on")] { act(on); }, kButtonLimit);
            res.status = done ? 200 : 503;
            res.set_content(done ? ViewJson() : "{\"error\":\"the server is closing\"}",
                            "application/json");
        });
    };
    button("/api/start", [this](const std::string&) { form_.StartBtnClick(); });
    button("/api/stop", [this](const std::string&) { form_.StopBtnClick(); });
    button("/api/halt", [this](const std::string&) { form_.Button2Click(); });
    button("/api/cls", [this](const std::string&) { form_.Button1Click(); });
    button("/api/viewlog", [this](const std::string& on) { form_.SetViewLog(on == "1"); });

    http.Post("/api/close", [this](const Request& req, Response& res) {
        NoStore(res);
        if (req.get_header_value(kPanelHeader) != "1") {
            res.status = 403;
            res.set_content("missing panel header\n", "text/plain");
            return;
        }
        requestClose_();
        res.status = 202;
        res.set_content(ViewJson(), "application/json");
    });
}

bool PanelServer::Start(std::string* error) {
    logSubscription_ = windowlog::Subscribe([this](const std::string&, bool cleared) {
        std::lock_guard lock(mu_);
        if (cleared) ++clears_;
        ++changes_;
        cv_.notify_all();
    });
    int port = options_.port;
    if (port == 0) {
        port = http_->bind_to_any_port(options_.host);
        if (port <= 0) port = -1;
    } else if (!http_->bind_to_port(options_.host, port)) {
        port = -1;
    }
    if (port < 0) {
        if (error != nullptr)
            *error = "cannot listen on " + options_.host + ":" + std::to_string(options_.port);
        windowlog::Unsubscribe(logSubscription_);
        logSubscription_ = -1;
        return false;
    }
    boundPort_ = static_cast<uint16_t>(port);
    thread_ = std::thread([this] { http_->listen_after_bind(); });
    // The library's stop() only reaches a server that has begun listening, so Start
    // returns once it has (a Stop right after Start would otherwise leave accept waiting).
    auto until = std::chrono::steady_clock::now() + 5s;
    while (!http_->is_running() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(1ms);
    return true;
}

void PanelServer::Stop() {
    {
        std::lock_guard lock(mu_);
        if (stopping_) return;
        stopping_ = true;
        cv_.notify_all();
    }
    if (thread_.joinable()) {
        http_->stop();
        thread_.join();
    }
    if (logSubscription_ >= 0) windowlog::Unsubscribe(logSubscription_);
    logSubscription_ = -1;
}

}  // namespace tessil
