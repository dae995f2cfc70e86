// End-to-end tests of the command-line client's script mode against the real server
// over loopback: a session as a person would type it, and a script that fails.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "client/CliSession.h"
#include "tests/e2e/support/E2eServer.h"

namespace tessil {
namespace {

struct ScriptRun {
    int rc = -1;
    std::vector<std::string> lines;

    bool has(const std::string& line) const {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    std::string all() const {
        std::string s;
        for (const auto& l : lines) s += l + "\n";
        return s;
    }
};

ScriptRun runScript(uint16_t port, const std::string& script, bool timestamps = false) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    EXPECT_EQ(::write(fds[1], script.data(), script.size()), static_cast<ssize_t>(script.size()));
    ::close(fds[1]);
    LobbyClient client;
    client.Connect("127.0.0.1", port);
    ScriptRun run;
    CliOptions opt;
    opt.timeoutMs = 3000;
    opt.lingerMs = 100;
    opt.timestamps = timestamps;
    run.rc =
        RunCliLines(fds[0], client, opt, [&](const std::string& l) { run.lines.push_back(l); });
    ::close(fds[0]);
    return run;
}

TEST(CliScript, ASessionAsAPersonTypesIt) {
    test::E2eServer server;
    auto lee = server.Login("lee");
    const ScriptRun run =
        runScript(server.Port(),
                  "handshake id=cli user=kim\n"
                  "wait AUTHOK\n"
                  "heartbeat\n"
                  "clientlist\n"
                  "USRLIST\n"
                  "wait USRLIST\n"
                  "LOGIN usrid=kim pass=1 gcode=G1\n"
                  "wait LOGIN\n"
                  "FINDUSER usrid=lee\n"
                  "wait FINDUSER\n"
                  "{\"cmd\":\"MAKEROOM\",\"pass\":\"\",\"subject\":\"hi there\","
                  "\"roomtype\":\"OPEN\",\"roomterm\":\"CONT\",\"gamecode\":\"G1\"}\n"
                  "wait MAKEROOM\n"
                  "LOGOUT usrid=kim pass=1\n"
                  "wait LOGOUT\n");
    EXPECT_EQ(run.rc, 0) << run.all();
    EXPECT_TRUE(run.has("<< handshake: TAuthenticated ok")) << run.all();
    EXPECT_TRUE(run.has(R"(<< {"cmd":"AUTHOK", "code":"E000", "data":"[]"})")) << run.all();
    EXPECT_TRUE(run.has("<< heartbeat")) << run.all();
    EXPECT_TRUE(run.has("<<   id=cli user=kim version=1.0")) << run.all();
    EXPECT_TRUE(run.has(R"(<< {"cmd":"USRLIST","code":"E016","data":"로그인 상태가 아닙니다"})"))
        << run.all();
    EXPECT_TRUE(run.has(R"(<< {"cmd":"LOGIN","code":"E000","data":"LOGIN 성공"})")) << run.all();
    EXPECT_TRUE(run.has(
        R"(<< {"cmd":"FINDUSER","code":"E000","data":[{"userid":"lee", "nickname":"", "gcode":"G1"}]})"))
        << run.all();
    EXPECT_TRUE(run.has(R"(<< {"CMD":"LOGOUT", "CODE":"E000", "DATA":[]})")) << run.all();
    // The room was made: its number came back as the data of the MAKEROOM reply.
    bool made = false;
    for (const auto& l : run.lines) {
        made = made || l.rfind(R"(<< {"cmd":"MAKEROOM","code":"E000","data":"1)", 0) == 0;
    }
    EXPECT_TRUE(made) << run.all();
}

TEST(CliScript, AMissingReplyFailsTheScript) {
    test::E2eServer server;
    // An unknown command word from a logged-in client gets no reply at all.
    const ScriptRun run = runScript(server.Port(),
                                    "LOGIN usrid=kim pass=1 gcode=G1\n"
                                    "wait LOGIN\n"
                                    "{\"cmd\":\"NOSUCHCMD\"}\n"
                                    "wait NOSUCHCMD 300\n"
                                    "USRLIST\n");
    EXPECT_EQ(run.rc, 1) << run.all();
    EXPECT_EQ(run.lines.back(), "!! no NOSUCHCMD within 300 ms") << run.all();
    EXPECT_FALSE(run.has(R"(>> {"cmd":"USRLIST"})")) << run.all();
}

TEST(CliScript, QuitWaitsForTheRepliesStillOnTheirWay) {
    test::E2eServer server;
    for (const char* end : {"quit\n", ""}) {
        const ScriptRun run = runScript(server.Port(),
                                        "LOGIN usrid=kim pass=1 gcode=G1\n"
                                        "USRLIST\n"
                                        "ROOMLIST roomNo=-1\n"
                                        "READYOK\n" +
                                            std::string(end));
        EXPECT_EQ(run.rc, 0) << run.all();
        EXPECT_TRUE(run.has(
            R"(<< {"cmd":"USRLIST","code":"E000","data":[{"userid":"kim", "nickname":"", "gcode":"G1", "roomno":"-2", "stat":0}]})"))
            << run.all();
        EXPECT_TRUE(run.has(R"(<< {"cmd":"ROOMLIST","code":"E000","data":[]})")) << run.all();
        EXPECT_TRUE(run.has(
            R"(<< {"cmd":"READYOK","code":"E025","data":"게임방에 참여하고 있지 않습니다"})"))
            << run.all();
        // The next round logs in again once this connection's user is gone.
        for (int i = 0; i < 100 && server.Cmd().Tessil_IsExistsUser("kim"); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
}

TEST(CliScript, AnUnknownWordStopsTheScriptBeforeAnythingIsSent) {
    test::E2eServer server;
    const ScriptRun run = runScript(server.Port(), "clear\nUSRLIST\n");
    EXPECT_EQ(run.rc, 1) << run.all();
    ASSERT_EQ(run.lines.size(), 1u) << run.all();
    EXPECT_EQ(run.lines[0].rfind("!! unknown word 'clear'", 0), 0u) << run.all();
}

TEST(CliScript, RepliesArePrintedWithTheTimeAndKoreanIntact) {
    test::E2eServer server;
    const ScriptRun run = runScript(server.Port(), "LOGIN usrid=kim pass=1 gcode=G1\n", true);
    EXPECT_EQ(run.rc, 0) << run.all();
    // "<< hh:mm:ss.mmm " and the reply's JSON as decoded.
    const std::string reply = R"({"cmd":"LOGIN","code":"E000","data":"LOGIN 성공"})";
    const std::string shape = "<< 00:00:00.000 ";
    bool found = false;
    for (const auto& l : run.lines) {
        if (l.size() != shape.size() + reply.size() || l.substr(shape.size()) != reply) continue;
        found = true;
        for (size_t i = 0; i < shape.size(); ++i) {
            const bool digit = shape[i] == '0';
            EXPECT_EQ(digit, std::isdigit(static_cast<unsigned char>(l[i])) != 0) << l;
            if (!digit) {
                EXPECT_EQ(shape[i], l[i]) << l;
            }
        }
    }
    EXPECT_TRUE(found) << run.all();
}

}  // namespace
}  // namespace tessil
