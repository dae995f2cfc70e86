// Tests of the blocking lobby client against a scripted fake server over loopback.
#include <gtest/gtest.h>

#include <chrono>

#include "client/LobbyClient.h"
#include "protocol/ClientProtocol.h"
#include "protocol/MsgFrame.h"
#include "protocol/TextUtils.h"
#include "support/FakeServer.h"

namespace tessil {
namespace {

using testing::FakeConn;
using testing::FakeServer;
using namespace std::chrono_literals;

std::string replyBody(std::string_view json) {
    return EncodeStr(json);
}

TEST(LobbyClient, HandshakeKeepsTheAuthokEventForLater) {
    FakeServer server([](FakeConn& c) {
        const Frame hello = c.ReadFrame();
        if (hello.type != mtHandshake || hello.body != std::string("id1\0kim\0\0"
                                                                   "1.0\0",
                                                                   13)) {
            throw std::runtime_error("unexpected handshake body");
        }
        c.SendFrame(mtData, replyBody(kAuthOkMsg));
        c.SendFrame(mtHandshake, AuthOkStr);
        c.WaitPeerClose();
    });
    LobbyClient client;
    client.Connect(server.HostPort());
    EXPECT_EQ(client.Handshake({"id1", "kim", "", "1.0"}), std::optional<bool>(true));
    const auto authok = client.WaitFor("AUTHOK", 1s);
    ASSERT_TRUE(authok);
    EXPECT_EQ(authok->data, "[]");
    client.Close();
    EXPECT_EQ(server.Finish(), "");
}

TEST(LobbyClient, HeartbeatEchoAndRepliesArriveInOrder) {
    FakeServer server([](FakeConn& c) {
        if (c.ReadFrame().type != mtHeartbeat) throw std::runtime_error("expected heartbeat");
        // A reply that overtakes the echo stays queued for WaitReply.
        c.SendFrame(mtData, replyBody(MakeMsgForClient("USRIN", code::E000, "a")));
        c.Send(std::string("\0\0\0\0\3\0", 6));
        c.SendFrame(mtData, replyBody(MakeMsgForClient("USRIN", code::E000, "b")));
        c.WaitPeerClose();
    });
    LobbyClient client;
    client.Connect(server.HostPort());
    ASSERT_TRUE(client.Heartbeat());
    const auto first = client.WaitReply();
    const auto second = client.WaitReply();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->data, "a");
    EXPECT_EQ(second->data, "b");
    client.Close();
    EXPECT_EQ(server.Finish(), "");
}

TEST(LobbyClient, HeartbeatEchoIsExposedAsRawBytes) {
    FakeServer server([](FakeConn& c) {
        c.ReadFrame();
        c.Send(std::string("\0\0\0\0\3\0", 6));
        c.WaitPeerClose();
    });
    LobbyClient client;
    client.Connect(server.HostPort());
    client.SendFrame(mtHeartbeat, "ignored body");
    const auto echo = client.ReadFrame();
    ASSERT_TRUE(echo);
    EXPECT_EQ(echo->Raw(), std::string("\0\0\0\0\3\0", 6));
    client.Close();
    EXPECT_EQ(server.Finish(), "");
}

TEST(LobbyClient, ClientListCollectsChunksUpToTheLastKind) {
    const ClientIdentity a{"a", "u1", "", "1"}, b{"b", "u2", "", "1"}, c3{"c", "u3", "", "1"};
    FakeServer server([&](FakeConn& c) {
        if (c.ReadFrame().type != mtClientList) throw std::runtime_error("expected list request");
        c.SendFrame(mtClientList, SerializeIdentity(a) + SerializeIdentity(b));
        c.SendFrame(mtData, replyBody(MakeMsgForClient("USRIN", code::E000, "x")));
        c.SendFrame(mtClientListLast, SerializeIdentity(c3));
        c.WaitPeerClose();
    });
    LobbyClient client;
    client.Connect(server.HostPort());
    const auto list = client.RequestClientList();
    ASSERT_TRUE(list);
    ASSERT_EQ(list->chunks.size(), 2u);
    ASSERT_EQ(list->clients.size(), 3u);
    EXPECT_EQ(list->clients[2].user, "u3");
    EXPECT_EQ(client.TakeReplies().size(), 1u);
    client.Close();
    EXPECT_EQ(server.Finish(), "");
}

TEST(LobbyClient, SendsCommandsAsMarkedBase64AndWaitsForTheirCmd) {
    std::string received;
    FakeServer server([&](FakeConn& c) {
        received = c.ReadFrame().body;
        c.SendFrame(mtData, replyBody(MakeMsgForClient("USRIN", code::E000, "event")));
        c.SendFrame(mtData, replyBody(MakeMsgForClient("LOGIN", code::E000, text::LoginOk)));
        c.WaitPeerClose();
    });
    LobbyClient client;
    client.Connect(server.HostPort());
    client.SendCommand("LOGIN", {{"usrid", "kim"}, {"pass", "1"}, {"gcode", "G1"}});
    const auto login = client.WaitFor("LOGIN");
    ASSERT_TRUE(login);
    EXPECT_EQ(login->code, "E000");
    EXPECT_EQ(login->data, text::LoginOk);
    const auto event = client.WaitReply(1s);  // passed over, still queued
    ASSERT_TRUE(event);
    EXPECT_EQ(event->cmd, "USRIN");
    client.Close();
    EXPECT_EQ(server.Finish(), "");
    EXPECT_EQ(DecodeStr(GetStreamData(received)),
              R"({"cmd":"LOGIN","usrid":"kim","pass":"1","gcode":"G1"})");
}

TEST(LobbyClient, WaitsEndAtTheirTimeOut) {
    FakeServer server([](FakeConn& c) { c.WaitPeerClose(); });
    LobbyClient client;
    client.Connect(server.HostPort());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.WaitReply(150ms));
    EXPECT_FALSE(client.Heartbeat(50ms));
    EXPECT_FALSE(client.WaitClosed(50ms));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 250ms);
    EXPECT_LT(took, 3s);
    client.Close();
    EXPECT_EQ(server.Finish(), "");
}

TEST(LobbyClient, ClosedConnectionGivesCleanErrors) {
    FakeServer server([](FakeConn& c) {
        c.SendFrame(mtData, replyBody(MakeMsgForClient("LAST", code::E000, "")));
        c.Close();
    });
    LobbyClient client;
    client.Connect(server.HostPort());
    EXPECT_TRUE(client.WaitClosed());
    EXPECT_FALSE(client.IsConnected());
    // What arrived before the close is still delivered; then the close is reported.
    ASSERT_TRUE(client.WaitReply(100ms));
    try {
        client.WaitReply(100ms);
        ADD_FAILURE() << "no error after the close";
    } catch (const ClientError& e) {
        EXPECT_EQ(e.kind(), ClientError::Kind::Closed);
    }
    EXPECT_EQ(server.Finish(), "");
}

TEST(LobbyClient, OversizedFrameFromTheServerIsAProtocolError) {
    FakeServer server([](FakeConn& c) {
        c.Send(TMsgHeader{MaxMessageSize + 1, mtData}.Encode());
        c.WaitPeerClose();
    });
    LobbyClient client;
    client.Connect(server.HostPort());
    try {
        client.WaitReply(2s);
        ADD_FAILURE() << "oversized frame accepted";
    } catch (const ClientError& e) {
        EXPECT_EQ(e.kind(), ClientError::Kind::Protocol);
    }
    EXPECT_EQ(client.Fd(), -1);
    EXPECT_EQ(server.Finish(), "");
}

TEST(LobbyClient, ConnectFailuresNameTheReason) {
    const std::vector<std::string> bad = {"127.0.0.1", "127.0.0.1:0", "127.0.0.1:99999",
                                          "127.0.0.1:x", "no-such-host.invalid:1"};
    for (const auto& target : bad) {
        LobbyClient client;
        EXPECT_THROW(client.Connect(target, 1s), ClientError) << target;
    }
    // A port nobody listens on: find a free one by binding and releasing it.
    uint16_t port;
    {
        FakeServer probe([](FakeConn&) {});
        port = probe.Port();
        LobbyClient c;
        c.Connect("127.0.0.1", port);  // let the probe's script finish
    }
    LobbyClient client;
    try {
        client.Connect("127.0.0.1", port, 1s);
        ADD_FAILURE() << "connected to a closed port";
    } catch (const ClientError& e) {
        EXPECT_EQ(e.kind(), ClientError::Kind::Connect);
        EXPECT_NE(std::string(e.what()).find("127.0.0.1:" + std::to_string(port)),
                  std::string::npos);
    }
}

}  // namespace
}  // namespace tessil
