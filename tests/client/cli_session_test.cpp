// Tests of the command-line client's session (its script mode) against a fake server.
#include <gtest/gtest.h>
#include <unistd.h>

#include "client/CliSession.h"
#include "protocol/ClientProtocol.h"
#include "protocol/MsgFrame.h"
#include "protocol/TextUtils.h"
#include "support/FakeServer.h"

namespace tessil {
namespace {

using testing::FakeConn;
using testing::FakeServer;

// Runs a script through a pipe and returns the exit status and the printed lines.
std::pair<int, std::vector<std::string>> runScript(const std::string& target,
                                                   const std::string& script) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    EXPECT_EQ(::write(fds[1], script.data(), script.size()), static_cast<ssize_t>(script.size()));
    ::close(fds[1]);
    LobbyClient client;
    client.Connect(target);
    std::vector<std::string> lines;
    CliOptions opt;
    opt.timeoutMs = 2000;
    opt.lingerMs = 50;
    opt.timestamps = false;
    const int rc =
        RunCliLines(fds[0], client, opt, [&](const std::string& l) { lines.push_back(l); });
    ::close(fds[0]);
    return {rc, lines};
}

// Answers every data frame with a reply carrying its cmd, and every heartbeat.
void echoServer(FakeConn& c) {
    for (;;) {
        Frame f;
        try {
            f = c.ReadFrame();
        } catch (const std::exception&) {
            return;  // the client has gone
        }
        if (f.type == mtHeartbeat) c.SendFrame(mtHeartbeat, {});
        if (f.type != mtData) continue;
        TJsonObject doc;
        std::string text = GetStreamData(f.body), cmd;
        RemoveSpace(text);
        ParseJsonObject(DecodeStr(text), doc);
        GetJosnValue_Str(&doc, "cmd", cmd);
        c.SendFrame(mtData, EncodeStr(MakeMsgForClient(cmd, code::E000, "ok")));
        if (cmd == "LOGOUT") {
            c.Close();
            return;
        }
    }
}

TEST(CliSession, ScriptPrintsEveryFrameAndWaitsCountRepliesAlreadyPrinted) {
    FakeServer server(echoServer);
    // The sleep prints the LOGIN reply before "wait LOGIN" runs; the wait still counts it.
    const auto [rc, lines] = runScript(server.HostPort(),
                                       "LOGIN usrid=kim pass=1 gcode=G1\n"
                                       "sleep 100\n"
                                       "wait LOGIN\n"
                                       "heartbeat\n"
                                       "# comment\n"
                                       "{\"cmd\":\"USRLIST\"}\n"
                                       "wait usrlist\n");
    EXPECT_EQ(rc, 0);
    const std::vector<std::string> expected = {
        R"(>> {"cmd":"LOGIN","usrid":"kim","pass":1,"gcode":"G1"})",
        R"(<< {"cmd":"LOGIN","code":"E000","data":"ok"})",
        ">> heartbeat",
        "<< heartbeat",
        R"(>> {"cmd":"USRLIST"})",
        R"(<< {"cmd":"USRLIST","code":"E000","data":"ok"})",
    };
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(server.Finish(), "");
}

TEST(CliSession, FailedWaitStopsTheScript) {
    FakeServer server(echoServer);
    const auto [rc, lines] = runScript(server.HostPort(), "wait NOPE 100\nLOGIN usrid=never\n");
    EXPECT_EQ(rc, 1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "!! no NOPE within 100 ms");
    EXPECT_EQ(server.Finish(), "");
}

TEST(CliSession, ServerCloseEndsTheScriptCleanlyUnlessALineNeedsTheConnection) {
    {
        FakeServer server(echoServer);
        const auto [rc, lines] = runScript(server.HostPort(), "LOGOUT usrid=kim\nwait LOGOUT\n");
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(lines.back(), "!! connection closed by the server");
    }
    {
        FakeServer server(echoServer);
        const auto [rc, lines] =
            runScript(server.HostPort(), "LOGOUT usrid=kim\nsleep 200\nheartbeat\n");
        EXPECT_EQ(rc, 1);
        EXPECT_EQ(lines.back(), "!! connection closed by the server");
    }
}

}  // namespace
}  // namespace tessil
