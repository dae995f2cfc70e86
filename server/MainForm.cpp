// TMainForm: buttons, timers, connection events and the close sequence (see MainForm.h).
// Buttons, timers and the close run on the control thread; events on engine workers.
#include "server/MainForm.h"

#include <chrono>
#include <exception>
#include <string>

#include "iocpengine/CommonMsgServer.h"
#include "platform/AppLog.h"

namespace tessil {

namespace {

using std::chrono::milliseconds;

// How long the close sequence waits for connection events still inside the lobby.
constexpr milliseconds kLobbyDrainLimit{10000};

// The panel's line on the cluster: "node n1, connected; cluster: 12 users, 3 rooms".
std::string ClusterLine(const TClusterFigures& c) {
    if (!c.enabled) return "";
    std::string line = "node " + c.node + (c.connected ? ", connected" : ", NOT connected");
    if (c.users >= 0 && c.rooms >= 0)
        line += "; cluster: " + std::to_string(c.users) + " users, " + std::to_string(c.rooms) +
                " rooms";
    return line;
}

// The application's handler for errors nothing else caught: the window log only.
void MyExcept(const char* text) {
    windowlog::Add(text);
}

// "#12 127.0.0.1:50312": the connection a window-log line is about.
std::string ConnContext(const TClientRecPtr& client) {
    if (!client) return {};
    // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on "#" + string.
    std::string out = "#";
    out += std::to_string(client->FConnNo);
    out += ' ';
    out += client->FAddress;
    out += ':';
    out += client->FPort;
    return out;
}

}  // namespace

TMainForm::TMainForm(ControlLoop& loop, std::shared_ptr<IAppLobby> lobby, TMainFormOptions options)
    : loop_(loop), options_(std::move(options)), gate_(std::move(lobby)) {
    filelog::Write("Server", "Create");
    sysTimer_ = loop_.AddTimer(milliseconds(500), [this] { SysTimerTimer(); });
    cntTimer_ = loop_.AddTimer(milliseconds(1000), [this] { CntTimerTimer(); });
}

TMainForm::~TMainForm() {
    loop_.SetTimerEnabled(sysTimer_, false);
    loop_.SetTimerEnabled(cntTimer_, false);
    DropServer();
    ReleaseLobby();
    windowlog::Add("App Destroy");
}

// ---- server creation and release ------------------------------------------------------

void TMainForm::CreateServer() {
    if (server_) return;
    auto server = std::make_unique<TCommonMsgServer>();
    server->SetTimeout(options_.timeout);
    server->SetPort(options_.port);
    server->SetWorkerCount(options_.workers);
    server->SetLogDir(options_.engineLogDir);
    server->SetLimits(TConnectionLimits::FromSettings());
    server->SetOnClientConnected(
        [this](TCommonMsgServer&, const TClientRecPtr& c) { Server_ClientConnected(c); });
    server->SetOnClientDisconnected(
        [this](TCommonMsgServer&, const TClientRecPtr& c) { Server_ClientDisconnectedEvent(c); });
    server->SetOnClientAuthentication([this](TCommonMsgServer&, const TClientRecPtr& c, bool& ok) {
        Server_ClientAuthentication(c, ok);
    });
    server->SetOnDataReceived([this](TCommonMsgServer&, const TClientRecPtr& c,
                                     std::string_view body) { Server_DataReceived(c, body); });
    server->SetOnError([this](TCommonMsgServer&, const TClientRecPtr& c, const std::string& m) {
        Server_Error(c, m);
    });
    server->SetOnStreamSent(
        [this](TCommonMsgServer&, const TClientRecPtr& c, uint64_t n) { Server_StreamSent(c, n); });
    server->SetStreamSentEvents(viewLog_);
    server_ = std::move(server);
    if (auto lobby = gate_.Peek()) netMesg_ = lobby->AttachServer(server_.get());
}

void TMainForm::FreeServer() {
    if (!server_ || !server_->Active()) return;
    // With the disconnect event detached first, closing the connections logs nobody out.
    server_->SetOnClientConnected(nullptr);
    server_->SetOnClientDisconnected(nullptr);
    server_->SetOnClientAuthentication(nullptr);
    server_->SetOnDataReceived(nullptr);
    if (server_->Active()) {
        try {
            server_->DisconnectAll();
        } catch (const std::exception& e) {
            windowlog::Add(std::string("Err : ") + e.what());
            filelog::Write("FreeServer-1", e.what());
        }
        // Gives the closes time to complete; timers keep ticking meanwhile.
        loop_.Pump(milliseconds(500));
        try {
            server_->SetActive(false);
        } catch (const std::exception& e) {
            windowlog::Add(std::string("Err : ") + e.what());
            filelog::Write("FreeServer-2", e.what());
        }
    }
    DropServer();
}

void TMainForm::DropServer() {
    if (!server_) return;
    server_->SetOnClientConnected(nullptr);
    server_->SetOnClientDisconnected(nullptr);
    server_->SetOnClientAuthentication(nullptr);
    server_->SetOnDataReceived(nullptr);
    // No handler may be running when the reply path goes, so the engine stops first.
    try {
        if (server_->Active()) server_->SetActive(false);
    } catch (...) {
    }
    // The reply path goes before the server it sends through.
    if (auto lobby = gate_.Peek()) lobby->DetachServer();
    netMesg_.reset();
    bytesInCarry_ += server_->BytesIn();
    bytesOutCarry_ += server_->BytesOut();
    try {
        server_.reset();
    } catch (...) {
        // A failure while freeing leaves nothing to act on.
    }
    // No connection outlives its server: the counts shown drop to what is true.
    userConnected_ = 0;
    {
        std::lock_guard lock(critMain_);
        metrics_.bytesIn = bytesInCarry_;
        metrics_.bytesOut = bytesOutCarry_;
        metrics_.listening = false;
        metrics_.port = 0;
        view_.running = false;
        metrics_.connections = 0;
        view_.conLabel = 0;
        view_.netConCnt = 0;
    }
}

void TMainForm::ReleaseLobby() {
    std::shared_ptr<IAppLobby> lobby;
    if (!gate_.CloseAndWait(kLobbyDrainLimit, lobby))
        filelog::Write("FormClose", "connection events still running; lobby released by them");
    lobby.reset();  // clears the lobby (in the normal case, here on the control thread)
}

// ---- buttons ---------------------------------------------------------------------------

void TMainForm::StartBtnClick() {
    try {
        CreateServer();
        if (server_->Active()) {
            windowlog::Add("Already, Started");
            return;
        }
        try {
            server_->SetActive(true);
            lastStartError_.clear();
            windowlog::Add("Start");
            std::lock_guard lock(critMain_);
            view_.running = true;
            metrics_.listening = true;
            metrics_.port = server_->Port();
        } catch (const std::exception& e) {
            lastStartError_ = e.what();
            windowlog::Add(std::string("[ERR] ") + e.what());
            filelog::Write("StartBtn", e.what());
        }
    } catch (const std::exception& e) {
        MyExcept(e.what());
    }
    Changed();
}

void TMainForm::StopBtnClick() {
    {
        std::lock_guard lock(critMain_);
        view_.stopEnabled = false;
    }
    Changed();
    try {
        FreeServer();
        windowlog::Add("Disconnect All connection");
        windowlog::Add("Stop");
    } catch (const std::exception& e) {
        windowlog::Add(e.what());
        filelog::Write("StopBtn", e.what());
    }
    {
        std::lock_guard lock(critMain_);
        view_.stopEnabled = true;
    }
    Changed();
}

void TMainForm::Button2Click() {
    try {
        CreateServer();
        FreeServer();
        windowlog::Add("End");
    } catch (const std::exception& e) {
        MyExcept(e.what());
    }
    Changed();
}

void TMainForm::Button1Click() {
    windowlog::Clear();
}

void TMainForm::SetViewLog(bool checked) {
    viewLog_ = checked;
    if (server_) server_->SetStreamSentEvents(checked);
    {
        std::lock_guard lock(critMain_);
        view_.viewLog = checked;
    }
    Changed();
}

// ---- the close sequence ----------------------------------------------------------------

void TMainForm::FormClose() {
    {
        std::lock_guard lock(critMain_);
        if (view_.closing) return;
        view_.closing = true;
    }
    Changed();
    // 1-2. Free the command handler object (clearing the lobby). Connection events that
    // are inside it finish first; those that arrive later skip it.
    ReleaseLobby();
    // 3. Let the connections the lobby closed finish while the counters keep moving.
    windowlog::Add("Waiting...");
    loop_.Pump(milliseconds(1000));
    // 4. The status timer stops for good.
    closeServiceApp_ = true;
    // 5. Free the server; nothing that goes wrong here stops the close.
    try {
        FreeServer();
        DropServer();
    } catch (...) {
    }
    windowlog::Add("App Close");
    {
        std::lock_guard lock(critMain_);
        view_.closed = true;
    }
    Changed();
}

// ---- timers ----------------------------------------------------------------------------

void TMainForm::SysTimerTimer() {
    loop_.SetTimerEnabled(sysTimer_, false);
    if (closeServiceApp_) return;  // stays stopped
    if (auto lobby = gate_.Peek()) {
        int32_t net = lobby->ClientConnections();
        int32_t rooms = 0, users = 0;
        TClusterFigures cluster;
        try {
            rooms = lobby->RoomCount();
            users = lobby->UserCount();
            cluster = lobby->ClusterFigures();
        } catch (...) {
        }
        std::lock_guard lock(critMain_);
        view_.netConCnt = net;
        view_.roomCnt = rooms;
        view_.cluster = ClusterLine(cluster);
        metrics_.cluster = cluster;
        metrics_.connections = net;
        metrics_.rooms = rooms;
        metrics_.users = users;
        metrics_.bytesIn = bytesInCarry_ + (server_ ? server_->BytesIn() : 0);
        metrics_.bytesOut = bytesOutCarry_ + (server_ ? server_->BytesOut() : 0);
    }
    Changed();
    loop_.SetTimerEnabled(sysTimer_, true);
}

void TMainForm::CntTimerTimer() {
    auto lobby = gate_.Peek();
    if (!lobby) return;
    int64_t count = lobby->ProcessCount();
    {
        std::lock_guard lock(critMain_);
        view_.processCnt = count;
        metrics_.requests = count;
    }
    Changed();
}

// ---- connection events -----------------------------------------------------------------

void TMainForm::Server_ClientConnected(const TClientRecPtr& client) {
    client->FLoginState = 0;
    client->FConnNo = ++connSerial_;
    client->FConnectedAt = std::chrono::system_clock::now();
    ++userConnected_;
    if (viewLog_) windowlog::Add("client connected", ConnContext(client));
    {
        std::lock_guard lock(critMain_);
        view_.conLabel = userConnected_;
    }
    Changed();
}

void TMainForm::Server_ClientDisconnectedEvent(const TClientRecPtr& client) {
    --userConnected_;
    if (viewLog_) windowlog::Add("client disconnected", ConnContext(client));
    if (auto lobby = gate_.Enter()) lobby->ClientDisconnected(client);
    {
        std::lock_guard lock(critMain_);
        view_.conLabel = userConnected_;
    }
    Changed();
}

void TMainForm::Server_ClientAuthentication(const TClientRecPtr& client, bool& authenticated) {
    authenticated = true;
    if (viewLog_) windowlog::Add("client authenticated", ConnContext(client));
    if (auto lobby = gate_.Enter()) lobby->SendAuthOk(client);
}

void TMainForm::Server_DataReceived(const TClientRecPtr& client, std::string_view body) {
    if (auto lobby = gate_.Enter()) lobby->DataReceived(client, body);
}

void TMainForm::Server_Error(const TClientRecPtr& client, const std::string& message) {
    if (viewLog_) windowlog::Add("error " + message, ConnContext(client));
}

void TMainForm::Server_StreamSent(const TClientRecPtr& client, uint64_t size) {
    if (viewLog_) windowlog::Add("sent " + std::to_string(size) + " bytes", ConnContext(client));
}

uint16_t TMainForm::ListenPort() const {
    return (server_ && server_->Active()) ? server_->Port() : 0;
}

// ---- views -----------------------------------------------------------------------------

TMainFormView TMainForm::View() const {
    std::lock_guard lock(critMain_);
    return view_;
}

std::string TMainForm::UsersJson() const {
    auto lobby = gate_.Enter();
    return lobby ? lobby->UsersJson() : "[]";
}

std::string TMainForm::RoomsJson() const {
    auto lobby = gate_.Enter();
    return lobby ? lobby->RoomsJson() : "[]";
}

bool TMainForm::Kick(const std::string& usrid) {
    auto lobby = gate_.Enter();
    if (!lobby || !lobby->Kick(usrid)) return false;
    filelog::Write("Panel", "kicked " + usrid);
    Changed();
    return true;
}

TAppMetrics TMainForm::Metrics() const {
    std::lock_guard lock(critMain_);
    TAppMetrics m = metrics_;
    return m;
}

void TMainForm::Changed() {
    if (onViewChanged_) onViewChanged_();
}

}  // namespace tessil
