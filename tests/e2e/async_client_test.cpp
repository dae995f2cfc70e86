// End-to-end tests of the non-blocking client against the server over loopback: the
// game-loop use (requests queued before login, callbacks), and reconnecting with back-off
// and logging in again after the server goes away and comes back on the same port.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "client/AsyncLobbyClient.h"
#include "tests/e2e/support/E2eServer.h"

namespace tessil {
namespace {

using namespace std::chrono_literals;
using State = AsyncLobbyClient::State;

// Polls like a game loop (a few milliseconds per frame) until done() or the time-out.
template <class Done>
bool loopUntil(AsyncLobbyClient& c, Done done, std::chrono::milliseconds limit = 5000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        c.PollFor(5ms);
    }
    return done();
}

uint16_t unusedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

TEST(AsyncClient, LogsInSendsWhatWasQueuedAndDeliversRepliesAndEvents) {
    test::E2eServer server;
    auto lee = server.Login("lee");
    AsyncLobbyClient::Options opt;
    opt.port = server.Port();
    opt.usrid = "kim";
    opt.gcode = "G1";
    AsyncLobbyClient kim(opt);
    std::vector<std::string> got;
    std::vector<State> states;
    kim.OnReply([&](const Reply& r) { got.push_back(r.cmd + "|" + r.code + "|" + r.data); });
    kim.OnState([&](State s, const std::string&) { states.push_back(s); });
    // Queued before the connection exists; sent once logged in.
    ASSERT_TRUE(kim.SendCommand("USRMSG", {{"usrid", "lee", false}, {"mesg", "hi lee", false}}));
    kim.Start();
    ASSERT_TRUE(loopUntil(kim, [&] { return got.size() >= 3; })) << got.size();
    EXPECT_EQ(got[0], "AUTHOK|E000|[]");
    EXPECT_EQ(got[1], "LOGIN|E000|LOGIN 성공");
    EXPECT_EQ(got[2], "USRMSG|E000|메시지 발송완료");
    EXPECT_EQ(test::Next(*lee), "USRMSG|E000|hilee");
    EXPECT_EQ(states, (std::vector<State>{State::Connecting, State::Handshaking, State::LoggingIn,
                                          State::Ready}));

    // An event caused by another client arrives through the same callback.
    lee->SendCommand("USRMSG", {test::Text("usrid", "kim"), test::Text("mesg", "back")});
    ASSERT_TRUE(loopUntil(kim, [&] { return got.size() >= 4; }));
    EXPECT_EQ(got[3], "USRMSG|E000|back");
}

TEST(AsyncClient, ReconnectsWithBackOffAndLogsInAgain) {
    const uint16_t port = unusedPort();
    AsyncLobbyClient::Options opt;
    opt.port = port;
    opt.usrid = "kim";
    opt.firstRetry = 20ms;
    opt.maxRetry = 80ms;
    AsyncLobbyClient kim(opt);
    std::vector<std::chrono::steady_clock::time_point> attempts;
    kim.OnState([&](State s, const std::string&) {
        if (s == State::Connecting) attempts.push_back(std::chrono::steady_clock::now());
    });
    kim.Start();
    // Nobody listens: the attempts come at growing intervals, capped.
    ASSERT_TRUE(loopUntil(kim, [&] { return attempts.size() >= 5; }));
    EXPECT_EQ(kim.GetState(), State::Waiting);
    EXPECT_GE(attempts[2] - attempts[1], 35ms);
    EXPECT_GE(attempts[4] - attempts[3], 75ms);
    EXPECT_LT(attempts[4] - attempts[3], 1000ms);

    for (int session = 1; session <= 2; ++session) {
        auto server = std::make_unique<test::E2eServer>(port);
        ASSERT_TRUE(loopUntil(kim, [&] { return kim.GetState() == State::Ready; }))
            << "session " << session;
        EXPECT_EQ(kim.Sessions(), session);
        EXPECT_TRUE(server->Cmd().Tessil_IsExistsUser("kim"));
        // The server goes away; the client notices and waits to retry.
        server.reset();
        ASSERT_TRUE(loopUntil(kim, [&] { return kim.GetState() == State::Waiting; }));
    }
    kim.Stop();
    EXPECT_EQ(kim.GetState(), State::Stopped);
    EXPECT_EQ(kim.Fd(), -1);
}

}  // namespace
}  // namespace tessil
