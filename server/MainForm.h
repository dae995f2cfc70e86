// TMainForm: the server window's logic without its display. It owns the lobby binding
// (command handler object, reply path, request intake) and the message server, and runs
// START, STOP, HALT, CLS, the 500 ms status and 1000 ms counter timers, the connection
// events and the close sequence. Buttons, timers and the close run on the control thread;
// the connection events on engine workers; View and Metrics may be read from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "iocpengine/ClientRec.h"
#include "server/AppLobby.h"
#include "server/AppOptions.h"
#include "server/ControlLoop.h"
#include "server/FormView.h"
#include "server/LobbyGate.h"

namespace tessil {

class TCommonMsgServer;

struct TMainFormOptions {
    uint16_t port = 29999;
    uint32_t timeout = 60000;            // connections' inactivity time-out, seconds
    int workers = DefaultWorkerCount();  // reactor worker threads
    std::string engineLogDir;            // where "Velmora.log" goes; "" = current directory
};

class TMainForm final : public IFormControl {
  public:
    // FormCreate: writes the "Server" / "Create" file-log line and installs the timers on
    // the loop. The form must be destroyed on the loop thread or after the loop stopped.
    TMainForm(ControlLoop& loop, std::shared_ptr<IAppLobby> lobby, TMainFormOptions options);
    // FormDestroy: frees a server still present and writes "App Destroy".
    ~TMainForm();
    TMainForm(const TMainForm&) = delete;
    TMainForm& operator=(const TMainForm&) = delete;

    // Control thread: the buttons and the check box.
    void StartBtnClick() override;
    void StopBtnClick() override;
    void Button2Click() override;  // HALT
    void Button1Click() override;  // CLS
    void SetViewLog(bool checked) override;
    // Control thread: the close sequence. A second call does nothing.
    void FormClose();

    // Any thread.
    TMainFormView View() const override;
    TAppMetrics Metrics() const override;
    std::string UsersJson() const override;
    std::string RoomsJson() const override;
    // Control thread.
    bool Kick(const std::string& usrid) override;
    // Called whenever a shown value may have changed; any thread, must not block. Set it
    // before the loop runs.
    void SetOnViewChanged(std::function<void()> fn) { onViewChanged_ = std::move(fn); }

    // Control thread: the port the message server listens on (0 while it does not).
    uint16_t ListenPort() const;
    // Control thread: why the last START failed ("" after a START that succeeded).
    const std::string& LastStartError() const { return lastStartError_; }

    // Control thread: the two timers (public so tests can tick them directly).
    void SysTimerTimer();
    void CntTimerTimer();

    // Engine workers: the message server's events.
    void Server_ClientConnected(const TClientRecPtr& client);
    void Server_ClientDisconnectedEvent(const TClientRecPtr& client);
    void Server_ClientAuthentication(const TClientRecPtr& client, bool& authenticated);
    void Server_DataReceived(const TClientRecPtr& client, std::string_view body);
    void Server_Error(const TClientRecPtr& client, const std::string& message);
    void Server_StreamSent(const TClientRecPtr& client, uint64_t size);

  private:
    void CreateServer();
    void FreeServer();
    // Frees the server at once, without the STOP pause (destructor).
    void DropServer();
    // Releases the lobby after every handler inside it has left.
    void ReleaseLobby();
    void Changed();

    ControlLoop& loop_;
    const TMainFormOptions options_;
    mutable LobbyGate<IAppLobby> gate_;         // entered by the panel's readers too
    std::unique_ptr<TCommonMsgServer> server_;  // FServer
    std::shared_ptr<void> netMesg_;             // NetMesg: the reply path for server_
    int sysTimer_ = -1;
    int cntTimer_ = -1;

    std::atomic<int32_t> userConnected_{0};  // User_Connected
    std::atomic<uint64_t> connSerial_{0};    // numbers the connections for the logs
    std::string lastStartError_;
    std::atomic<bool> viewLog_{false};
    std::atomic<bool> closeServiceApp_{false};  // CloseServiceApp

    mutable std::mutex critMain_;  // CritMain: guards view_ and metrics_
    TMainFormView view_;
    TAppMetrics metrics_;
    uint64_t bytesInCarry_ = 0;  // bytes of servers already freed (control thread)
    uint64_t bytesOutCarry_ = 0;
    std::function<void()> onViewChanged_;
};

}  // namespace tessil
