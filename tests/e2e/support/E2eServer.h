// A running server for end-to-end tests: a message server on an ephemeral loopback port
// wired as the application wires it (connection events, request intake, command handler,
// reply path), and clients that connect, shake hands and log in. Owned by one test;
// the server's events run on its engine workers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "client/LobbyClient.h"
#include "iocpengine/CommonMsgServer.h"
#include "lobby/NetMesg.h"
#include "server/CmdLineObject.h"
#include "server/RequestIntake.h"

namespace tessil::test {

class E2eServer {
  public:
    // Port 0 takes an ephemeral port.
    explicit E2eServer(uint16_t port = 0);
    ~E2eServer();
    E2eServer(const E2eServer&) = delete;
    E2eServer& operator=(const E2eServer&) = delete;

    uint16_t Port() const { return server_->Port(); }
    TCmdLineObject& Cmd() { return cmd_; }
    RequestIntake& Intake() { return intake_; }
    TCommonMsgServer& Server() { return *server_; }

    // A client connected and past the handshake (its AUTHOK already taken).
    std::unique_ptr<LobbyClient> Connect();
    // A connected client logged in as id (LOGIN answered with E000).
    std::unique_ptr<LobbyClient> Login(const std::string& id, const std::string& pass = "pw");

  private:
    TCmdLineObject cmd_;
    RequestIntake intake_;
    std::unique_ptr<TCommonMsgServer> server_;
    std::shared_ptr<TNetMesg> net_;
};

// Members of a request: text values, and integers as JSON numbers.
RequestMember Text(std::string name, std::string value);
RequestMember Int(std::string name, int64_t value);

}  // namespace tessil::test

namespace tessil::test {

// The next reply or event of a client as "cmd|code|data" ("<none>" after the time-out).
std::string Next(LobbyClient& client, LobbyClient::Millis timeout = LobbyClient::kDefaultWait);
// True when nothing further arrives within a short wait.
bool Quiet(LobbyClient& client);

}  // namespace tessil::test
