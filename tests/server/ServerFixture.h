// Request handling wired as the application wires it, over a capturing transport:
// the command handler, the reply path and the intake. Helpers send JSON requests as
// data-message bodies. Used by the server tests on the test thread.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "lobby/NetMesg.h"
#include "protocol/ClientProtocol.h"
#include "server/CmdLineObject.h"
#include "server/RequestIntake.h"
#include "tests/common/FakeTransport.h"

namespace tessil::test {

using Texts = std::vector<std::string>;

class ServerFixture : public ::testing::Test {
  protected:
    ServerFixture() : cmd(&svr), intake(cmd) {
        net = std::make_shared<TNetMesg>(&svr, sched);
        cmd.SetNetMesg(net);
    }

    void Send(const TClientRecPtr& c, std::string_view json) {
        intake.Server_DataReceived(c, RequestBody(json));
    }
    TClientRecPtr Connect() { return MakeClient(std::to_string(40000 + ++ports)); }
    TClientRecPtr Login(const std::string& id, const std::string& pass = "pw") {
        auto c = Connect();
        Send(c, R"({"cmd":"LOGIN","usrid":")" + id + R"(","pass":")" + pass + R"(","gcode":"G1"})");
        EXPECT_EQ(c->FLoginState, 1) << id;
        return c;
    }
    // Logs in id and makes a room; returns the master's record.
    TClientRecPtr Master(const std::string& id, const std::string& type = "OPEN",
                         const std::string& term = "CONT", const std::string& pass = "") {
        auto c = Login(id);
        Send(c, R"({"cmd":"MAKEROOM","pass":")" + pass + R"(","subject":"s","roomtype":")" + type +
                    R"(","roomterm":")" + term + R"(","gamecode":"G1"})");
        EXPECT_GT(c->FRoomNo, 0);
        return c;
    }
    TClientRecPtr Member(const std::string& id, int32_t roomNo, const std::string& pass = "") {
        auto c = Login(id);
        Send(c, R"({"cmd":"ENTERROOM","roomNo":)" + std::to_string(roomNo) + R"(,"pass":")" + pass +
                    R"(","gamecode":"G1"})");
        EXPECT_EQ(c->FRoomNo, roomNo);
        return c;
    }
    // The replies a client received after its login (and room) set-up.
    Texts After(const TClientRecPtr& c, size_t skip) const {
        auto all = svr.TextsFor(c);
        return Texts(all.begin() + std::min(skip, all.size()), all.end());
    }
    static std::string Msg(std::string_view cmd, std::string_view code, std::string_view data) {
        return MakeMsgForClient(cmd, code, data);
    }

    FakeTransport svr;
    Scheduler sched;
    TCmdLineObject cmd;
    RequestIntake intake;
    std::shared_ptr<TNetMesg> net;
    int ports = 0;
};

}  // namespace tessil::test
