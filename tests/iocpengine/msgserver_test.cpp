// Message server over real loopback sockets with raw frames: the receive steps and their
// limits, the frames the server answers itself, sends, disconnects and the switch.
// Each test runs its own server on an ephemeral port.
#include <gtest/gtest.h>

#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "iocpengine/DnException.h"
#include "platform/Settings.h"
#include "protocol/MsgFrame.h"
#include "tests/common/MsgServerHarness.h"
#include "tests/common/RawSocket.h"

namespace tessil {
namespace {

using namespace std::chrono_literals;
using test::MsgServerHarness;
using test::RawSocket;

std::string Header(uint32_t len, uint16_t type) {
    return TMsgHeader{len, type}.Encode();
}

// Connects and waits until the server has registered the connection.
RawSocket ConnectTo(MsgServerHarness& h, size_t expectedConnections = 1) {
    RawSocket s;
    EXPECT_TRUE(s.Connect(h.Port()));
    EXPECT_TRUE(h.WaitUntil([&] { return h.connected.size() >= expectedConnections; }));
    return s;
}

TEST(MsgServerFrames, HeartbeatEchoIsTheBareHeaderWhateverTheRequestBody) {
    MsgServerHarness h;
    RawSocket s = ConnectTo(h);
    ASSERT_TRUE(s.Send(Header(0, mtHeartbeat)));
    EXPECT_EQ(s.ReadExact(6), std::string("\x00\x00\x00\x00\x03\x00", 6));
    ASSERT_TRUE(s.SendFrame(mtHeartbeat, "ignored body"));
    EXPECT_EQ(s.ReadExact(6), std::string("\x00\x00\x00\x00\x03\x00", 6));
    EXPECT_TRUE(s.StaysOpenAndQuiet(50ms));
}

TEST(MsgServerFrames, UnknownKindsAreReadAndDroppedThenTheNextFrameIsAnswered) {
    MsgServerHarness h;
    RawSocket s = ConnectTo(h);
    // Kind 7 with a body, a client-sent kind 4 and kind 65535, then a heartbeat.
    std::string burst = Header(10, 7) + "0123456789" + Header(3, mtClientListLast) + "abc" +
                        Header(0, 0xFFFF) + Header(0, mtHeartbeat);
    ASSERT_TRUE(s.Send(burst));
    auto f = s.ReadFrame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->type, mtHeartbeat);
    EXPECT_TRUE(f->body.empty());
    EXPECT_TRUE(s.StaysOpenAndQuiet(50ms));
}

TEST(MsgServerFrames, DataBodiesArriveWholeHoweverTheBytesAreSplit) {
    MsgServerHarness h;
    RawSocket s = ConnectTo(h);
    // A body larger than one read piece, so it is gathered from several reads.
    std::string big(300 * 1024 + 7, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 23);
    std::string wire = Header(5, mtData) + "hello" + Header(0, mtData) +
                       Header(static_cast<uint32_t>(big.size()), mtData) + big;
    // Header split across sends, then the rest in odd-sized pieces.
    for (size_t pos = 0; pos < wire.size();) {
        size_t n = pos < 20 ? 1 : 65521;
        ASSERT_TRUE(s.Send(std::string_view(wire).substr(pos, n)));
        pos += n;
    }
    ASSERT_TRUE(h.WaitUntil([&] { return h.received.size() == 3; }));
    h.Locked([&] {
        EXPECT_EQ(h.received[0], "hello");
        EXPECT_EQ(h.received[1], "");
        EXPECT_TRUE(h.received[2] == big);
    });
}

TEST(MsgServerFrames, ALargeBodyIsNotKeptOnceItsFrameIsHandled) {
    MsgServerHarness h;
    std::atomic<size_t> kept{0};
    // The handler runs on the connection's reading side, which owns the body buffer.
    h.onData = [&](TCommonMsgServer&, const TClientRecPtr& c, std::string_view body) {
        if (body == "next") kept = c->FBodyBuf.capacity();
    };
    RawSocket s = ConnectTo(h);
    ASSERT_TRUE(s.SendFrame(mtData, std::string(40 * 1024, 'x')));
    ASSERT_TRUE(s.SendFrame(mtData, "next"));
    for (int i = 0; i < 500 && kept.load() == 0; ++i) std::this_thread::sleep_for(5ms);
    ASSERT_NE(kept.load(), 0u) << "the second frame was handled";
    EXPECT_LT(kept.load(), 4096u) << "an idle connection keeps no large body buffer";
}

TEST(MsgServerFrames, SizeLimitIsInclusive) {
    MsgServerHarness h;
    RawSocket atLimit = ConnectTo(h, 1);
    RawSocket overLimit = ConnectTo(h, 2);
    // Only the header and a few bytes travel: announcing a body allocates nothing.
    ASSERT_TRUE(atLimit.Send(Header(MaxMessageSize, mtData) + "abc"));
    ASSERT_TRUE(overLimit.Send(Header(MaxMessageSize + 1, mtData) + "abc"));
    EXPECT_TRUE(overLimit.WaitClosed());
    EXPECT_TRUE(atLimit.StaysOpenAndQuiet(200ms));
    EXPECT_TRUE(h.WaitUntil([&] { return h.disconnected.size() == 1; }));
    EXPECT_NE(h.EngineLog().find("Too big message size: 134217729 with maximum 134217728"),
              std::string::npos)
        << h.EngineLog();
    EXPECT_EQ(h.server.GetClientCount(), 1);
}

TEST(MsgServerFrames, AnnouncedBodiesCostOnlyWhatHasArrived) {
    MsgServerHarness h;
    std::vector<RawSocket> socks;
    for (size_t i = 1; i <= 8; ++i) socks.push_back(ConnectTo(h, i));
    auto heapInUse = [] {
        struct mallinfo2 m = mallinfo2();
        return m.uordblks + m.hblkhd;  // small chunks and mapped large ones
    };
    const size_t before = heapInUse();
    for (auto& s : socks)
        ASSERT_TRUE(s.Send(Header(MaxMessageSize, mtData) + std::string(100, 'x')));
    // Let every header and the first bytes be read.
    std::this_thread::sleep_for(200ms);
    const size_t after = heapInUse();
    // Eight 128 MiB announcements; at most one read piece each is held.
    EXPECT_LT(after > before ? after - before : 0, size_t{4} << 20);
    for (auto& s : socks) EXPECT_TRUE(s.StaysOpenAndQuiet(10ms));
}

TEST(MsgServerFrames, ShortBodyEndsTheConnectionWithoutDelivery) {
    MsgServerHarness h;
    RawSocket s = ConnectTo(h);
    ASSERT_TRUE(s.Send(Header(10, mtData) + "12345"));
    ::shutdown(s.fd(), SHUT_WR);
    EXPECT_TRUE(s.WaitClosed());
    ASSERT_TRUE(h.WaitUntil([&] { return h.disconnected.size() == 1; }));
    h.Locked([&] { EXPECT_TRUE(h.received.empty()); });
    EXPECT_EQ(h.server.GetClientCount(), 0);
}

TEST(MsgServerHandshake, VerdictFollowsTheHandlerAndTheRecordKeepsTheIdentity) {
    struct Case {
        const char* name;
        bool install;  // an authentication handler at all
        bool accept;   // what it sets
        bool raise;    // raises after setting
        std::string_view verdict;
    } cases[] = {
        {"no handler", false, false, false, AuthFailedStr},
        {"accepts", true, true, false, AuthOkStr},
        {"accepts then raises", true, true, true, AuthOkStr},
        {"refuses", true, false, false, AuthFailedStr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MsgServerHarness::Options options;
        options.authenticate = false;
        MsgServerHarness h(options);
        if (c.install) {
            h.server.SetOnClientAuthentication(
                [&](TCommonMsgServer&, const TClientRecPtr&, bool& ok) {
                    ok = c.accept;
                    if (c.raise) throw std::runtime_error("handler failed");
                });
        }
        RawSocket s = ConnectTo(h);
        ASSERT_TRUE(s.SendFrame(mtHandshake, std::string("a7\0kim\0\0"
                                                         "1.0\0extra\0",
                                                         17)));
        auto f = s.ReadFrame();
        ASSERT_TRUE(f);
        EXPECT_EQ(f->type, mtHandshake);
        EXPECT_EQ(f->body, c.verdict);
        // A refused client stays connected and is served as before.
        ASSERT_TRUE(s.SendFrame(mtHeartbeat, ""));
        EXPECT_TRUE(s.ReadFrame());
        h.Locked([&] {
            const TClientRecPtr& rec = h.connected.at(0);
            EXPECT_EQ(rec->FID, "a7");
            EXPECT_EQ(rec->FUser, "kim");
            EXPECT_EQ(rec->FPassword, "");
            EXPECT_EQ(rec->FVersion, "1.0");
            EXPECT_EQ(rec->FAddress, "127.0.0.1");
            EXPECT_FALSE(rec->FPort.empty());
        });
    }
}

TEST(MsgServerClientList, ChunksNeverSplitARecordAndIncludeTheRequester) {
    // Records of 1500 bytes: three make one last chunk of 4500 bytes, four make a chunk of
    // 4500 followed by a last chunk of 1500.
    struct Case {
        int clients;
        std::vector<std::pair<uint16_t, size_t>> frames;
    } cases[] = {
        {3, {{mtClientListLast, 4500}}},
        {4, {{mtClientList, 4500}, {mtClientListLast, 1500}}},
    };
    // These records need handshake fields far longer than the default bound.
    settings::Set("Limits", "HandshakeFieldMax", "1496");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.clients);
        MsgServerHarness h;
        std::vector<RawSocket> socks;
        for (int i = 0; i < c.clients; ++i) {
            socks.push_back(ConnectTo(h, i + 1));
            // id of 1496 bytes + three empty fields + four terminators = 1500 bytes.
            std::string id(1496, static_cast<char>('A' + i));
            ASSERT_TRUE(socks.back().SendFrame(mtHandshake, id + std::string(4, '\0')));
            ASSERT_TRUE(socks.back().ReadFrame());
        }
        RawSocket& asker = socks.back();
        ASSERT_TRUE(asker.SendFrame(mtClientList, "ignored"));
        std::string all;
        for (const auto& [type, size] : c.frames) {
            auto f = asker.ReadFrame();
            ASSERT_TRUE(f);
            EXPECT_EQ(f->type, type);
            EXPECT_EQ(f->body.size(), size);
            all += f->body;
        }
        // In the order of acceptance, the requester last.
        for (int i = 0; i < c.clients; ++i)
            EXPECT_EQ(all.substr(i * 1500, 1496), std::string(1496, static_cast<char>('A' + i)));
    }
}

TEST(MsgServerClientList, OnlyTheRequesterSeesItsOwnPassword) {
    MsgServerHarness h;
    RawSocket a = ConnectTo(h, 1);
    ASSERT_TRUE(a.SendFrame(mtHandshake, std::string("a\0ua\0secret-a\0v\0", 17)));
    ASSERT_TRUE(a.ReadFrame());
    RawSocket b = ConnectTo(h, 2);
    ASSERT_TRUE(b.SendFrame(mtHandshake, std::string("b\0ub\0secret-b\0v\0", 17)));
    ASSERT_TRUE(b.ReadFrame());
    ASSERT_TRUE(b.SendFrame(mtClientList, ""));
    auto f = b.ReadFrame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->type, mtClientListLast);
    // Both records keep their four fields; a's password field is empty.
    EXPECT_EQ(f->body, std::string("a\0ua\0\0v\0b\0ub\0secret-b\0v\0", 24));
}

TEST(MsgServerHandshake, AFieldOverItsBoundIsRefusedAndNotKept) {
    settings::Set("Limits", "HandshakeFieldMax", "256");
    const std::string ok(256, 'x'), over(257, 'x');
    struct Case {
        const char* name;
        std::string body;
        std::string_view verdict;
    } cases[] = {
        {"every field at the bound", ok + '\0' + ok + '\0' + ok + '\0' + ok + '\0', AuthOkStr},
        {"id over", over + std::string("\0u\0p\0v\0", 8), AuthFailedStr},
        {"password over", std::string("i\0u\0", 4) + over + std::string("\0v\0", 3), AuthFailedStr},
        {"version over, unterminated", std::string("i\0u\0p\0", 6) + over, AuthFailedStr},
        {"a fifth field is ignored", std::string("i\0u\0p\0v\0", 8) + over, AuthOkStr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MsgServerHarness h;
        RawSocket s = ConnectTo(h);
        ASSERT_TRUE(s.SendFrame(mtHandshake, c.body));
        auto f = s.ReadFrame();
        ASSERT_TRUE(f);
        EXPECT_EQ(f->body, c.verdict);
        h.Locked([&] {
            const bool kept = !h.connected.at(0)->FID.empty();
            EXPECT_EQ(kept, c.verdict == AuthOkStr);
        });
    }
}

TEST(MsgServerSend, SendStringAndSharedFramesReachTheirClientsInOrder) {
    MsgServerHarness h;
    RawSocket a = ConnectTo(h, 1);
    RawSocket b = ConnectTo(h, 2);
    auto [ra, rb] = h.Locked([&] { return std::pair(h.connected[0], h.connected[1]); });
    auto shared = std::make_shared<const std::string>(EncodeFrame(mtData, "to everyone"));
    h.server.SendString("first", ra);
    h.server.SendFrame(shared, ra);
    h.server.SendFrame(shared, rb);
    h.server.SendString("", rb);
    EXPECT_EQ(a.ReadFrame()->body, "first");
    EXPECT_EQ(a.ReadFrame()->body, "to everyone");
    EXPECT_EQ(b.ReadFrame()->body, "to everyone");
    auto empty = b.ReadFrame();
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->type, mtData);
    EXPECT_TRUE(empty->body.empty());
}

// The body sizes the server's sent event reports, in order.
// Declared after the harness, it goes first and detaches itself from the server.
struct SentSizes {
    explicit SentSizes(MsgServerHarness& h) : server(h.server) {
        server.SetOnStreamSent([this](TCommonMsgServer&, const TClientRecPtr&, uint64_t size) {
            std::lock_guard lock(mu);
            sizes.push_back(size);
        });
    }
    ~SentSizes() { server.SetOnStreamSent(nullptr); }
    SentSizes(const SentSizes&) = delete;
    SentSizes& operator=(const SentSizes&) = delete;
    // What was reported once at least n sizes were (or after a second), a moment later.
    std::vector<uint64_t> After(size_t n) {
        for (int i = 0; i < 200; ++i) {
            {
                std::lock_guard lock(mu);
                if (sizes.size() >= n) break;
            }
            std::this_thread::sleep_for(5ms);
        }
        std::this_thread::sleep_for(20ms);
        std::lock_guard lock(mu);
        return sizes;
    }
    TCommonMsgServer& server;
    std::mutex mu;
    std::vector<uint64_t> sizes;
};

TEST(MsgServerSend, OnlyDataBodiesAreReportedAsSent) {
    MsgServerHarness h;
    SentSizes sent(h);
    RawSocket s = ConnectTo(h);
    TClientRecPtr rec = h.Locked([&] { return h.connected[0]; });
    ASSERT_TRUE(s.SendFrame(mtHandshake, std::string("id\0\0\0\0", 6)));  // verdict: kind 1
    ASSERT_TRUE(s.ReadFrame());
    ASSERT_TRUE(s.SendFrame(mtHeartbeat, ""));  // echo: kind 3, no body
    ASSERT_TRUE(s.ReadFrame());
    h.server.SendString("abc", rec);
    h.server.SendString("", rec);
    h.server.SendFrame(std::make_shared<const std::string>(EncodeFrame(mtData, "12345")), rec);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(s.ReadFrame());
    EXPECT_EQ(sent.After(2), (std::vector<uint64_t>{3, 5}));
}

TEST(MsgServerSend, SentEventsTurnedOffAreNotRaisedUntilTurnedOnAgain) {
    MsgServerHarness h;
    SentSizes sent(h);
    RawSocket s = ConnectTo(h);
    TClientRecPtr rec = h.Locked([&] { return h.connected[0]; });
    h.server.SetStreamSentEvents(false);
    h.server.SendString("off", rec);
    ASSERT_TRUE(s.ReadFrame());
    // The send's completion (which uncounts its bytes) has run before events go on again.
    for (int i = 0; i < 200 && rec->FPendingOut.load() != 0; ++i) std::this_thread::sleep_for(5ms);
    ASSERT_EQ(rec->FPendingOut.load(), 0u);
    h.server.SetStreamSentEvents(true);
    h.server.SendString("on!!", rec);
    ASSERT_TRUE(s.ReadFrame());
    // A connection's sends complete in order: once the second is reported, the first
    // would have been.
    EXPECT_EQ(sent.After(1), (std::vector<uint64_t>{4}));
}

TEST(MsgServerSend, AClientThatStopsReadingIsClosedOnceItsQueuePassesTheLimit) {
    MsgServerHarness h;
    h.server.SetMaxPendingOutput(1024 * 1024);
    RawSocket reader = ConnectTo(h, 1);
    RawSocket stalled = ConnectTo(h, 2);
    auto [rr, rs] = h.Locked([&] { return std::pair(h.connected[0], h.connected[1]); });
    // 32 MiB to each: more than the kernel's buffers absorb for the client that never
    // reads, while the one that reads each frame as it comes never holds much unsent.
    const std::string body(64 * 1024, 'x');
    for (int i = 0; i < 512; ++i) {
        h.server.SendString(body, rr);
        auto f = reader.ReadFrame();
        ASSERT_TRUE(f) << "frame " << i;
        ASSERT_EQ(f->body.size(), body.size());
        h.server.SendString(body, rs);
    }
    ASSERT_TRUE(h.WaitUntil([&] { return h.disconnected.size() == 1; }));
    h.Locked([&] { EXPECT_EQ(h.disconnected[0], rs); });
    EXPECT_NE(h.EngineLog().find("Too much unsent data: "), std::string::npos) << h.EngineLog();
    EXPECT_TRUE(reader.StaysOpenAndQuiet(50ms));
}

TEST(MsgServerDisconnect, ReportedOnceAndLaterSendsAndClosesAreIgnored) {
    MsgServerHarness h;
    RawSocket s = ConnectTo(h);
    TClientRecPtr rec = h.Locked([&] { return h.connected[0]; });
    h.server.DisconnectClient(rec);
    h.server.DisconnectClient(rec);  // a second close before the first completes
    EXPECT_TRUE(s.WaitClosed());
    ASSERT_TRUE(h.WaitUntil([&] { return h.disconnected.size() == 1; }));
    // The record outlives its connection for whoever still holds it; using it is harmless.
    h.server.SendString("late", rec);
    h.server.SendFrame(std::make_shared<const std::string>(EncodeFrame(mtData, "x")), rec);
    h.server.DisconnectClient(rec);
    std::this_thread::sleep_for(100ms);
    h.Locked([&] { EXPECT_EQ(h.disconnectCount[rec.get()], 1); });
    EXPECT_EQ(h.server.GetClientCount(), 0);
    EXPECT_TRUE(rec->FRemoved);
}

TEST(MsgServerDisconnect, FramesAfterDisconnectClientAreNotDelivered) {
    MsgServerHarness h;
    RawSocket s = ConnectTo(h);
    h.onData = [](TCommonMsgServer& srv, const TClientRecPtr& c, std::string_view) {
        srv.DisconnectClient(c);
    };
    ASSERT_TRUE(s.Send(EncodeFrame(mtData, "one") + EncodeFrame(mtData, "two")));
    EXPECT_TRUE(s.WaitClosed());
    ASSERT_TRUE(h.WaitUntil([&] { return h.disconnected.size() == 1; }));
    h.Locked([&] { EXPECT_EQ(h.received, std::vector<std::string>{"one"}); });
}

TEST(MsgServerDisconnect, PeerThatDropsIsReportedOnceWhileOthersGoOn) {
    MsgServerHarness h;
    RawSocket stays = ConnectTo(h, 1);
    RawSocket drops = ConnectTo(h, 2);
    RawSocket resets = ConnectTo(h, 3);
    drops.Close();
    resets.Abort();
    ASSERT_TRUE(h.WaitUntil([&] { return h.disconnected.size() == 2; }));
    std::this_thread::sleep_for(100ms);
    h.Locked([&] {
        EXPECT_EQ(h.disconnected.size(), 2u);
        for (const auto& [rec, n] : h.disconnectCount) EXPECT_EQ(n, 1);
    });
    ASSERT_TRUE(stays.SendFrame(mtHeartbeat, ""));
    EXPECT_TRUE(stays.ReadFrame());
    EXPECT_EQ(h.server.GetClientCount(), 1);
}

TEST(MsgServerTimeout, IdleConnectionIsReportedAndStaysOpen) {
    MsgServerHarness::Options options;
    options.timeoutSeconds = 1;
    MsgServerHarness h(options);
    RawSocket s = ConnectTo(h);
    ASSERT_TRUE(h.WaitUntil([&] { return !h.errors.empty(); }, 5s));
    h.Locked([&] { EXPECT_EQ(h.errors[0], "I/O timeouted."); });
    ASSERT_TRUE(s.SendFrame(mtHeartbeat, ""));
    EXPECT_TRUE(s.ReadFrame());
}

TEST(MsgServerSwitch, PortInUseFailsClearlyAndTheServerStaysUsable) {
    MsgServerHarness first;
    MsgServerHarness::Options options;
    options.open = false;
    MsgServerHarness second(options);
    second.server.SetPort(first.Port());
    try {
        second.server.SetActive(true);
        FAIL() << "binding a port in use must fail";
    } catch (const EDnException& e) {
        EXPECT_NE(std::string(e.what()).find("Address already in use"), std::string::npos)
            << e.what();
    }
    EXPECT_FALSE(second.server.Active());
    // Pressed again with a free port, it starts and serves.
    second.server.SetPort(0);
    second.server.SetActive(true);
    ASSERT_TRUE(second.server.Active());
    RawSocket s = ConnectTo(second);
    ASSERT_TRUE(s.SendFrame(mtHeartbeat, ""));
    EXPECT_TRUE(s.ReadFrame());
}

TEST(MsgServerSwitch, StopAndStartAgainWithClientsConnected) {
    MsgServerHarness h;
    RawSocket s = ConnectTo(h);
    h.server.SetActive(true);  // already active: nothing happens
    h.server.SetActive(false);
    EXPECT_FALSE(h.server.Active());
    EXPECT_TRUE(s.WaitClosed());  // nothing is left open behind a stopped server
    EXPECT_EQ(h.server.GetClientCount(), 0);
    h.server.SetActive(true);
    RawSocket again = ConnectTo(h, 2);
    ASSERT_TRUE(again.SendFrame(mtHeartbeat, ""));
    EXPECT_TRUE(again.ReadFrame());
    EXPECT_NE(h.EngineLog().size(), 0u);
}

}  // namespace
}  // namespace tessil
