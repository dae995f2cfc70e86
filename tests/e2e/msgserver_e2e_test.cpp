// The message server end to end with the client library over loopback: exact frames,
// limits, the handshake with the application's AUTHOK, the client list, dropped clients,
// and a start / many connections / stop cycle that must leave no thread, descriptor or
// memory behind.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <string>
#include <thread>
#include <vector>

#include "client/LobbyClient.h"
#include "protocol/ClientProtocol.h"
#include "protocol/TextUtils.h"
#include "tests/common/MsgServerHarness.h"
#include "tests/common/RawSocket.h"

namespace tessil {
namespace {

using namespace std::chrono_literals;
using test::MsgServerHarness;

std::string Header(uint32_t len, uint16_t type) {
    return TMsgHeader{len, type}.Encode();
}

void Connect(LobbyClient& c, const MsgServerHarness& h) {
    c.Connect("127.0.0.1", h.Port());
}

TEST(MsgServerE2E, HeartbeatEchoIsExactlyTheSixHeaderBytes) {
    MsgServerHarness h;
    LobbyClient c;
    Connect(c, h);
    c.SendFrame(mtHeartbeat, {});
    auto f = c.ReadFrame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->Raw(), std::string("\x00\x00\x00\x00\x03\x00", 6));
}

TEST(MsgServerE2E, UnknownKindWithABodyIsDroppedAndTheNextFrameAnswered) {
    MsgServerHarness h;
    LobbyClient c;
    Connect(c, h);
    c.SendFrame(9, "a body nobody reads");
    EXPECT_TRUE(c.Heartbeat());
    EXPECT_EQ(c.Pending(), 0u);
}

TEST(MsgServerE2E, AnnouncedSizeAboveTheLimitClosesWithTheLogLine) {
    MsgServerHarness h;
    LobbyClient over, at;
    Connect(over, h);
    Connect(at, h);
    at.SendRaw(Header(134217728, mtData) + "just a little");
    over.SendRaw(Header(134217729, mtData) + "just a little");
    EXPECT_TRUE(over.WaitClosed());
    EXPECT_FALSE(at.WaitClosed(300ms));
    EXPECT_NE(h.EngineLog().find("Too big message size: 134217729 with maximum 134217728"),
              std::string::npos);
    EXPECT_EQ(h.EngineLog().find("134217728 with maximum"), std::string::npos);
}

TEST(MsgServerE2E, ShortBodyClosesTheConnection) {
    MsgServerHarness h;
    LobbyClient c;
    Connect(c, h);
    c.SendRaw(Header(100, mtData) + "only forty bytes of the hundred promised");
    ::shutdown(c.Fd(), SHUT_WR);
    EXPECT_TRUE(c.WaitClosed());
    EXPECT_TRUE(h.WaitUntil([&] { return h.disconnected.size() == 1; }));
    h.Locked([&] { EXPECT_TRUE(h.received.empty()); });
}

TEST(MsgServerE2E, HandshakeVerdictAndAuthOkBothArrive) {
    MsgServerHarness h;
    // What the application does: accept, and queue AUTHOK through the reply path.
    h.onAuthenticate = [](TCommonMsgServer& s, const TClientRecPtr& c) {
        s.SendString(EncodeStr(kAuthOkMsg), c);
    };
    LobbyClient c;
    Connect(c, h);
    auto verdict = c.Handshake({"a7", "kim", "", "1.0"});
    ASSERT_TRUE(verdict);
    EXPECT_TRUE(*verdict);
    auto authOk = c.WaitFor("AUTHOK");
    ASSERT_TRUE(authOk);
    EXPECT_EQ(authOk->code, "E000");
}

TEST(MsgServerE2E, ClientListHasEveryClientInAcceptanceOrderWithTheRequester) {
    MsgServerHarness h;
    std::vector<std::unique_ptr<LobbyClient>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<LobbyClient>());
        Connect(*clients.back(), h);
        ASSERT_TRUE(h.WaitUntil([&] { return h.connected.size() == clients.size(); }));
        ASSERT_TRUE(clients.back()->Handshake({"id" + std::to_string(i), "u", "p", "v"}));
    }
    auto list = clients[1]->RequestClientList();
    ASSERT_TRUE(list);
    ASSERT_EQ(list->chunks.size(), 1u);
    EXPECT_EQ(list->chunks[0].type, mtClientListLast);
    ASSERT_EQ(list->clients.size(), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(list->clients[i].id, "id" + std::to_string(i));
}

TEST(MsgServerE2E, ClientThatDropsIsReportedExactlyOnce) {
    MsgServerHarness h;
    LobbyClient c;
    Connect(c, h);
    ASSERT_TRUE(c.Heartbeat());
    c.Close();
    ASSERT_TRUE(h.WaitUntil([&] { return h.disconnected.size() == 1; }));
    std::this_thread::sleep_for(100ms);
    h.Locked([&] {
        EXPECT_EQ(h.disconnected.size(), 1u);
        EXPECT_EQ(h.disconnectCount.begin()->second, 1);
    });
    EXPECT_EQ(h.server.GetClientCount(), 0);
}

TEST(MsgServerE2E, ManyConnectionsThenStopLeaveNoThreadOrDescriptor) {
    // One short run first, so that threads living for the whole process (the sanitizer's
    // background thread, lazily started logs) exist before the counts are taken.
    {
        MsgServerHarness warm;
        LobbyClient c;
        Connect(c, warm);
        ASSERT_TRUE(c.Heartbeat());
    }
    const int threadsBefore = test::CountThreads();
    const int fdsBefore = test::CountOpenFds();
    {
        MsgServerHarness h;
        std::vector<std::unique_ptr<LobbyClient>> open;
        for (int i = 0; i < 300; ++i) {
            auto c = std::make_unique<LobbyClient>();
            Connect(*c, h);
            switch (i % 4) {
                case 0:
                    ASSERT_TRUE(c->Heartbeat());
                    break;  // closed by its destructor
                case 1: {
                    test::RawSocket r;
                    ASSERT_TRUE(r.Connect(h.Port()));
                    r.Abort();  // reset without a word
                    break;
                }
                case 2:
                    c->SendRaw(Header(10, mtData) + "half");  // left mid-frame
                    open.push_back(std::move(c));
                    break;
                default:
                    ASSERT_TRUE(c->Handshake({"x", "y", "z", "w"}));
                    open.push_back(std::move(c));
                    break;
            }
        }
        ASSERT_TRUE(h.WaitUntil([&] { return h.connected.size() == 375; }, 10s));
        h.server.DisconnectAll();
        ASSERT_TRUE(h.WaitUntil([&] { return h.disconnected.size() == h.connected.size(); }, 10s));
        h.server.SetActive(false);
        for (auto& c : open) EXPECT_TRUE(c->WaitClosed(1s));
        h.Locked([&] {
            for (const auto& [rec, n] : h.disconnectCount) EXPECT_EQ(n, 1);
        });
    }
    EXPECT_EQ(test::CountThreads(), threadsBefore);
    EXPECT_EQ(test::CountOpenFds(), fdsBefore);
}

}  // namespace
}  // namespace tessil
