// The control panel's HTTP routes, event streams and token check (see PanelServer.h).
// Routes run on the HTTP library's worker threads; Start and Stop on the main thread.
#include "server/panel/PanelServer.h"

#include <chrono>
#include <string_view>
#include <vector>

#include "platform/AppLog.h"
#include "platform/LogText.h"
#include "protocol/TextUtils.h"
#include "server/ControlLoop.h"
#include "server/FormView.h"
#include "server/panel/OpsServer.h"
#include "server/panel/PanelAuth.h"
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

// Under heavy traffic (every request is a log line) one push could carry tens of
// thousands of lines, more than a page can take in; a burst is cut to its newest lines
// behind one line that says how many were left out.
constexpr size_t kMaxLinesPerPush = 1000;

void TrimBurst(std::vector<windowlog::Entry>& lines) {
    if (lines.size() <= kMaxLinesPerPush) return;
    size_t skipped = lines.size() - kMaxLinesPerPush;
    const auto when = lines[skipped].when;
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(skipped));
    lines.insert(lines.begin(),
                 windowlog::Entry{when, "", "... " + std::to_string(skipped) + " lines not shown"});
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

// The lines' texts under "log" (as the window shows them) and their times and
// connections under "meta", one object per line in the same order.
std::string EntriesJson(const std::vector<windowlog::Entry>& entries) {
    std::vector<std::string> texts;
    texts.reserve(entries.size());
    std::string meta = "[";
    for (size_t i = 0; i < entries.size(); ++i) {
        texts.push_back(entries[i].text);
        if (i > 0) meta += ',';
        meta += "{\"t\":\"" + logtext::UtcStamp(entries[i].when) + "\"";
        if (!entries[i].context.empty())
            meta += ",\"c\":\"" + JsonEscape(entries[i].context) + "\"";
        meta += '}';
    }
    meta += ']';
    return "\"log\":" + LinesJson(texts) + ",\"meta\":" + meta;
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
      http_(options_.limits) {
    Routes();
}

PanelServer::~PanelServer() {
    Stop();
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
    out += std::string(",\"running\":") + b(v.running);
    out += std::string(",\"viewLog\":") + b(v.viewLog);
    out += std::string(",\"stopEnabled\":") + b(v.stopEnabled);
    out += std::string(",\"closing\":") + b(v.closing);
    out += std::string(",\"closed\":") + b(v.closed);
    out += '}';
    return out;
}

void PanelServer::NotifyChanged() {
    countChange(false);
}

void PanelServer::countChange(bool cleared) {
    if (cleared) ++clears_;
    ++changes_;
    if (waiters_.load() == 0) return;
    std::lock_guard lock(mu_);
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
        auto lines = windowlog::SnapshotEntries(&s.logSeq);
        s.lastView = ViewJson();
        out = Event("state", "{\"view\":" + s.lastView + "," + EntriesJson(lines) + "}");
        s.lastPush = std::chrono::steady_clock::now();
        return true;
    }
    bool stop = false;
    uint64_t clears = 0;
    {
        std::unique_lock lock(mu_);
        cv_.wait_until(lock, s.lastPush + kMinPushInterval, [this] { return stopping_; });
        ++waiters_;
        cv_.wait_for(lock, kKeepAlive, [&] { return stopping_ || changes_ != s.seenChanges; });
        --waiters_;
        s.seenChanges = changes_;
        clears = clears_;
        stop = stopping_;
    }
    if (clears != s.seenClears) {
        s.seenClears = clears;
        auto lines = windowlog::SnapshotEntries(&s.logSeq);
        out += Event("cls", "{}");
        if (!lines.empty()) out += Event("log", "{" + EntriesJson(lines) + "}");
    } else {
        auto lines = windowlog::SinceEntries(s.logSeq, &s.logSeq);
        TrimBurst(lines);
        if (!lines.empty()) out += Event("log", "{" + EntriesJson(lines) + "}");
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
    http_.SetPreRouting([this](const Request& req, Response& res) {
        if (!PanelHostAllowed(req.get_header_value("Host"), !options_.token.empty())) {
            res.status = 403;
            res.set_content("unexpected Host\n", "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (PanelAuthorized(req.get_header_value("Authorization"), options_.token))
            return httplib::Server::HandlerResponse::Unhandled;
        res.status = 401;
        // Basic makes a browser ask for it (any user name, the token as the password).
        res.set_header("WWW-Authenticate", "Basic realm=\"Tessil panel\", charset=\"UTF-8\"");
        res.set_content("panel token required\n", "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    });

    http_.Get("/", [](const Request&, Response& res) {
        NoStore(res);
        res.set_header("X-Frame-Options", "DENY");
        res.set_content(std::string(PanelPageHtml()), "text/html; charset=utf-8");
    });

    http_.Get("/api/state", [this](const Request&, Response& res) {
        NoStore(res);
        auto lines = windowlog::SnapshotEntries(nullptr);
        res.set_content("{\"view\":" + ViewJson() + "," + EntriesJson(lines) + "}",
                        "application/json");
    });

    if (options_.serveOps) AddOpsRoutes(http_, form_);

    http_.Get("/events", [this](const Request&, Response& res) {
        NoStore(res);
        if (!http_.OpenStream()) {
            res.status = 503;
            res.set_header("Retry-After", "5");
            res.set_content("too many event streams\n", "text/plain");
            return;
        }
        auto stream = std::make_shared<Stream>();
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, stream](size_t, httplib::DataSink& sink) {
                std::string out;
                bool more = StreamStep(*stream, out);
                if (!sink.write(out.data(), out.size())) return false;
                if (!more) sink.done();
                return true;
            },
            [this](bool) { http_.CloseStream(); });
    });

    // A button runs on the control thread; `on` is the request's "on" parameter.
    auto button = [this](const char* path, std::function<void(const std::string&)> act) {
        http_.Post(path, [this, act](const Request& req, Response& res) {
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

    http_.Get("/api/users", [this](const Request&, Response& res) {
        NoStore(res);
        res.set_content(form_.UsersJson(), "application/json");
    });
    http_.Get("/api/rooms", [this](const Request&, Response& res) {
        NoStore(res);
        res.set_content(form_.RoomsJson(), "application/json");
    });
    http_.Post("/api/kick", [this](const Request& req, Response& res) {
        NoStore(res);
        if (req.get_header_value(kPanelHeader) != "1") {
            res.status = 403;
            res.set_content("missing panel header\n", "text/plain");
            return;
        }
        const std::string usrid = req.get_param_value("usrid");
        // Shared: a task that runs after the wait gave up must not write to this frame.
        auto kicked = std::make_shared<std::atomic<bool>>(false);
        const bool done =
            loop_.Call([this, usrid, kicked] { *kicked = form_.Kick(usrid); }, kButtonLimit);
        res.status = !done ? 503 : *kicked ? 200 : 404;
        res.set_content(std::string("{\"kicked\":") + (*kicked ? "true" : "false") + "}",
                        "application/json");
    });

    http_.Post("/api/close", [this](const Request& req, Response& res) {
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
    logSubscription_ = windowlog::SubscribeChanges([this](bool cleared) { countChange(cleared); });
    if (!http_.Start(options_.host, options_.port, options_.token.empty(), error)) {
        windowlog::Unsubscribe(logSubscription_);
        logSubscription_ = -1;
        return false;
    }
    return true;
}

void PanelServer::Stop() {
    {
        std::lock_guard lock(mu_);
        if (stopping_) return;
        stopping_ = true;
        cv_.notify_all();
    }
    http_.Stop();
    if (logSubscription_ >= 0) windowlog::Unsubscribe(logSubscription_);
    logSubscription_ = -1;
}

}  // namespace tessil
