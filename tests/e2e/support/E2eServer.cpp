// The end-to-end test server: a message server on an ephemeral port with request
// handling wired as in the application. Built by one test thread; events on workers.
#include "tests/e2e/support/E2eServer.h"

#include <gtest/gtest.h>

#include "protocol/ClientProtocol.h"

namespace tessil::test {

E2eServer::E2eServer(uint16_t port)
    : cmd_(nullptr), intake_(cmd_), server_(std::make_unique<TCommonMsgServer>()) {
    server_->SetPort(port);
    server_->SetOnClientConnected(
        [](TCommonMsgServer&, const TClientRecPtr& client) { client->FLoginState = 0; });
    server_->SetOnClientAuthentication(
        [this](TCommonMsgServer&, const TClientRecPtr& client, bool& authenticated) {
            authenticated = true;
            cmd_.Reply(kAuthOkMsg, client);
        });
    server_->SetOnDataReceived(
        [this](TCommonMsgServer&, const TClientRecPtr& client, std::string_view body) {
            intake_.Server_DataReceived(client, body);
        });
    server_->SetOnClientDisconnected([this](TCommonMsgServer&, const TClientRecPtr& client) {
        cmd_.Tessil_ExitRoom(client);
        cmd_.Tessil_CheckLogout(client);
    });
    net_ = std::make_shared<TNetMesg>(server_.get());
    cmd_.SetSvrNet(server_.get());
    cmd_.SetNetMesg(net_);
    server_->SetActive(true);
}

E2eServer::~E2eServer() {
    server_->SetOnClientConnected(nullptr);
    server_->SetOnClientAuthentication(nullptr);
    server_->SetOnDataReceived(nullptr);
    server_->SetOnClientDisconnected(nullptr);
    server_->SetActive(false);
    net_->Detach();
    cmd_.SetNetMesg(nullptr);
    cmd_.SetSvrNet(nullptr);
}

std::unique_ptr<LobbyClient> E2eServer::Connect() {
    auto client = std::make_unique<LobbyClient>();
    client->Connect("127.0.0.1", Port());
    auto verdict = client->Handshake(ClientIdentity{"id", "user", "pass", "1.0"});
    EXPECT_TRUE(verdict.has_value() && *verdict);
    auto authOk = client->WaitFor("AUTHOK");
    EXPECT_TRUE(authOk.has_value());
    return client;
}

std::unique_ptr<LobbyClient> E2eServer::Login(const std::string& id, const std::string& pass) {
    auto client = Connect();
    client->SendCommand("LOGIN", {Text("usrid", id), Text("pass", pass), Text("gcode", "G1")});
    auto reply = client->WaitFor("LOGIN");
    EXPECT_TRUE(reply && reply->code == "E000") << id;
    return client;
}

RequestMember Text(std::string name, std::string value) {
    return RequestMember{std::move(name), std::move(value), false};
}

RequestMember Int(std::string name, int64_t value) {
    return RequestMember{std::move(name), std::to_string(value), true};
}

}  // namespace tessil::test

namespace tessil::test {

std::string Next(LobbyClient& client, LobbyClient::Millis timeout) {
    auto reply = client.WaitReply(timeout);
    if (!reply) return "<none>";
    return reply->cmd + "|" + reply->code + "|" + reply->data;
}

bool Quiet(LobbyClient& client) {
    return !client.WaitReply(std::chrono::milliseconds(100)).has_value();
}

}  // namespace tessil::test
