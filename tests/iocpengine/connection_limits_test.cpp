// The message server's connection bounds over loopback: admission caps, the handshake,
// login and frame deadlines, body sizes by phase, the output backlog, the request bucket
// and a failing request. Each bound is set small on a fresh server; every test is
// bounded in time and checks the close reason, the counters and the single log line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "iocpengine/EngineStats.h"
#include "protocol/MsgFrame.h"
#include "tests/common/MsgServerHarness.h"
#include "tests/common/RawSocket.h"

namespace tessil {
namespace {

using namespace std::chrono_literals;
using enginestats::TCloseReason;
using test::MsgServerHarness;
using test::RawSocket;

uint64_t Closes(TCloseReason why) {
    return enginestats::Counters().closes[static_cast<int>(why)].load();
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

// Sends frames of one kind, 400 at a time and reading whatever comes back, until the
// server closes the connection or `rounds` sends have gone; true when it was closed.
bool FloodUntilClosed(RawSocket& s, uint16_t kind, int rounds) {
    std::string many;
    for (int i = 0; i < 400; ++i) many += EncodeFrame(kind, kind == mtData ? "spam" : "");
    for (int i = 0; i < rounds; ++i) {
        s.Send(many);
        while (s.ReadFrame(1ms)) {
        }
        if (s.WaitClosed(50ms)) return true;
    }
    return false;
}

// A server with the given bounds; onAuthenticate marks the client logged in when the
// handshake's user is "login" (standing in for a LOGIN that succeeded).
struct Bounded {
    explicit Bounded(const TConnectionLimits& limits) : h(MsgServerHarness::Options{true, false}) {
        h.onAuthenticate = [](TCommonMsgServer&, const TClientRecPtr& c) {
            if (c->FUser == "login") c->FLoginState = 1;
        };
        h.server.SetLimits(limits);
        h.server.Open();
    }
    RawSocket Connect() {
        RawSocket s;
        EXPECT_TRUE(s.Connect(h.Port()));
        return s;
    }
    RawSocket LoggedIn() {
        RawSocket s = Connect();
        TMsgClientInfo info;
        info.FUser = "login";
        EXPECT_TRUE(s.SendFrame(mtHandshake, info.SerializeTo()));
        EXPECT_TRUE(s.ReadFrame());
        return s;
    }
    MsgServerHarness h;
};

TEST(ConnectionLimits, HandshakeAndLoginDeadlinesCloseOnlyTheLateOnes) {
    TConnectionLimits l;
    l.handshakeMs = 200;
    l.loginMs = 600;
    Bounded b(l);
    const uint64_t hs0 = Closes(TCloseReason::Handshake), li0 = Closes(TCloseReason::Login);
    RawSocket silent = b.Connect();
    RawSocket noLogin = b.Connect();
    TMsgClientInfo info;
    ASSERT_TRUE(noLogin.SendFrame(mtHandshake, info.SerializeTo()));
    ASSERT_TRUE(noLogin.ReadFrame());
    RawSocket player = b.LoggedIn();
    EXPECT_TRUE(silent.WaitClosed(2s));
    EXPECT_TRUE(noLogin.WaitClosed(3s));
    EXPECT_TRUE(player.StaysOpenAndQuiet(300ms));
    EXPECT_EQ(Closes(TCloseReason::Handshake) - hs0, 1u);
    EXPECT_EQ(Closes(TCloseReason::Login) - li0, 1u);
    EXPECT_EQ(Count(b.h.EngineLog(), "No handshake within 200 ms"), 1u);
}

TEST(ConnectionLimits, AFrameTrickledByteByByteIsClosedAtItsDeadline) {
    TConnectionLimits l;
    l.frameMs = 300;
    for (bool body : {false, true}) {
        SCOPED_TRACE(body);
        Bounded b(l);
        RawSocket s = b.LoggedIn();
        const std::string frame = EncodeFrame(mtData, std::string(20, 'x'));
        size_t sent = body ? 8 : 0;  // the header whole and body bytes, or header bytes
        if (sent) {
            ASSERT_TRUE(s.Send(frame.substr(0, sent)));
        }
        bool closed = false;
        for (int i = 0; i < 30 && !closed; ++i) {
            s.Send(frame.substr(sent++, 1));
            closed = s.WaitClosed(100ms);
        }
        EXPECT_TRUE(closed);
        EXPECT_TRUE(b.h.Locked([&] { return b.h.received.empty(); }));
    }
}

TEST(ConnectionLimits, BodySizeDependsOnThePhase) {
    TConnectionLimits l;
    l.maxBodyBeforeLogin = 64;
    l.maxBodyAfterLogin = 1024;
    struct Case {
        bool login;
        size_t size;
        bool closed;
    };
    for (const Case& k : {Case{false, 64, false}, Case{false, 65, true}, Case{true, 1024, false},
                          Case{true, 1025, true}}) {
        SCOPED_TRACE(std::to_string(k.login) + " " + std::to_string(k.size));
        Bounded b(l);
        RawSocket s = k.login ? b.LoggedIn() : b.Connect();
        // Only the header is sent: a refused size is never waited for or allocated.
        ASSERT_TRUE(s.Send(TMsgHeader{static_cast<uint32_t>(k.size), mtData}.Encode()));
        if (k.closed) {
            EXPECT_TRUE(s.WaitClosed(2s));
            EXPECT_EQ(Count(b.h.EngineLog(), "Too big message size: " + std::to_string(k.size)),
                      1u);
        } else {
            ASSERT_TRUE(s.Send(std::string(k.size, 'b')));
            EXPECT_TRUE(b.h.WaitUntil([&] { return b.h.received.size() == 1; }));
        }
    }
}

TEST(ConnectionLimits, CapsRefuseTheExcessWithOneLineAndAdmitAgainOnceFree) {
    TConnectionLimits l;
    l.maxConnections = 3;
    Bounded b(l);
    std::vector<RawSocket> first(3);
    for (auto& s : first) ASSERT_TRUE(s.Connect(b.h.Port()));
    ASSERT_TRUE(b.h.WaitUntil([&] { return b.h.connected.size() == 3; }));
    std::vector<RawSocket> excess(5);
    for (auto& s : excess) {
        ASSERT_TRUE(s.Connect(b.h.Port()));
        EXPECT_TRUE(s.WaitClosed(2s));
    }
    EXPECT_EQ(Count(b.h.EngineLog(), "Too many connections: maximum 3."), 1u);
    first[0].Close();
    ASSERT_TRUE(b.h.WaitUntil([&] { return b.h.disconnected.size() == 1; }));
    RawSocket again;
    ASSERT_TRUE(again.Connect(b.h.Port()));
    ASSERT_TRUE(again.SendFrame(mtHeartbeat, ""));
    EXPECT_TRUE(again.ReadFrame());

    TConnectionLimits per;
    per.maxPerAddress = 2;  // loopback not exempt here
    Bounded p(per);
    std::vector<RawSocket> mine(3);
    for (auto& s : mine) ASSERT_TRUE(s.Connect(p.h.Port()));
    EXPECT_TRUE(mine[2].WaitClosed(2s));
    EXPECT_TRUE(mine[0].StaysOpenAndQuiet(50ms));
    EXPECT_EQ(Count(p.h.EngineLog(), "Too many connections from 127.0.0.1: maximum 2."), 1u);
}

TEST(ConnectionLimits, OneLargeMessageNeverClosesAReaderButAGrowingBacklogDoes) {
    TConnectionLimits l;
    l.hardPendingOut = 16 << 20;
    l.softPendingOut = 256 << 10;
    // Long enough for the reader to drain the large message below the soft limit even on
    // a busy machine under the thread sanitizer (its backlog is above it while it reads).
    l.softPendingMs = 2000;
    Bounded b(l);
    RawSocket reader = b.LoggedIn();
    RawSocket stalled = b.LoggedIn();
    auto [rr, rs] = b.h.Locked([&] { return std::pair(b.h.connected[0], b.h.connected[1]); });
    // Four times the hard limit in one message: the reader gets it whole.
    const std::string big(32 << 20, 'x');
    b.h.server.SendString(big, rr);
    auto f = reader.ReadFrame(10s);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->body.size(), big.size());
    // The stalled reader's backlog (more than the kernel's buffers absorb, less than the
    // hard limit) stays above the soft limit: closed after the hold.
    const std::string chunk(64 << 10, 'y');
    for (int i = 0; i < 200; ++i) b.h.server.SendString(chunk, rs);
    ASSERT_TRUE(b.h.WaitUntil([&] { return b.h.disconnected.size() == 1; }, 10s));
    b.h.Locked([&] { EXPECT_EQ(b.h.disconnected[0], rs); });
    EXPECT_EQ(Count(b.h.EngineLog(), "Unsent data above 262144 bytes for 2000 ms"), 1u);
    EXPECT_TRUE(reader.StaysOpenAndQuiet(50ms));
}

TEST(ConnectionLimits, ABacklogStopsReadingUntilItDrains) {
    TConnectionLimits l;
    l.softPendingOut = 64 << 10;
    Bounded b(l);
    // Every request is answered with 16 KiB: a client that pipelines requests without
    // reading stops being read once its answers pile up.
    b.h.onData = [](TCommonMsgServer& s, const TClientRecPtr& c, std::string_view) {
        s.SendString(std::string(16 << 10, 'r'), c);
    };
    RawSocket s = b.LoggedIn();
    std::string burst;
    for (int i = 0; i < 2000; ++i) burst += EncodeFrame(mtData, "q");
    ASSERT_TRUE(s.Send(burst));
    std::this_thread::sleep_for(300ms);
    const size_t handled = b.h.Locked([&] { return b.h.received.size(); });
    EXPECT_LT(handled, 2000u) << "reading stopped while the answers waited";
    // Reading the answers lets the server read again, to the last request.
    for (int i = 0; i < 2000; ++i) ASSERT_TRUE(s.ReadFrame(5s)) << i;
    EXPECT_TRUE(b.h.WaitUntil([&] { return b.h.received.size() == 2000; }));
}

TEST(ConnectionLimits, APipeliningClientThatNeverReadsIsClosedAfterTheHold) {
    TConnectionLimits l;
    l.softPendingOut = 256 << 10;
    l.softPendingMs = 300;
    Bounded b(l);
    b.h.onData = [](TCommonMsgServer& s, const TClientRecPtr& c, std::string_view) {
        s.SendString(std::string(10 << 10, 'r'), c);
    };
    RawSocket s = b.LoggedIn();
    std::string burst;
    for (int i = 0; i < 3000; ++i) burst += EncodeFrame(mtData, "q");
    ASSERT_TRUE(s.Send(burst));
    ASSERT_TRUE(b.h.WaitUntil([&] { return b.h.disconnected.size() == 1; }, 5s))
        << b.h.Locked([&] { return b.h.received.size(); }) << " requests read\n"
        << b.h.EngineLog();
}

TEST(ConnectionLimits, AnHonestBurstPassesAndASustainedFloodIsClosed) {
    TConnectionLimits l;
    l.requestRate = 100;
    l.requestBurst = 60;
    l.floodMs = 500;
    Bounded b(l);
    b.h.onData = [](TCommonMsgServer& s, const TClientRecPtr& c, std::string_view body) {
        s.SendString(body, c);
    };
    RawSocket honest = b.LoggedIn();
    std::string fifty;
    for (int i = 0; i < 50; ++i) fifty += EncodeFrame(mtData, "chat");
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(honest.Send(fifty));
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(honest.ReadFrame(2s)) << i;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s) << "the burst was not slowed";

    RawSocket flooder = b.LoggedIn();
    EXPECT_TRUE(FloodUntilClosed(flooder, mtData, 40));
    EXPECT_EQ(Count(b.h.EngineLog(), "Requests above 100 per second for 500 ms"), 1u);
    EXPECT_TRUE(honest.StaysOpenAndQuiet(20ms));
}

// A large list reply is paid for from the requester's bucket, so the requests after it
// wait (none is lost); the client list, which the server builds itself, is metered too.
TEST(ConnectionLimits, ListRepliesAreChargedByTheirSizeAndSlowTheRequesterOnly) {
    TConnectionLimits l;
    l.requestRate = 100;
    l.requestBurst = 40;
    l.replyBytesPerRequest = 100;
    l.floodMs = 1000;
    Bounded b(l);
    b.h.onData = [](TCommonMsgServer& s, const TClientRecPtr& c, std::string_view body) {
        if (body == "list") {
            const std::string list(3000, 'l');  // costs 30 requests more
            s.SendString(list, c);
            s.ChargeReply(c, list.size());
        } else {
            s.SendString(body, c);
        }
    };
    RawSocket lister = b.LoggedIn();
    RawSocket other = b.LoggedIn();
    const auto t0 = std::chrono::steady_clock::now();
    std::string burst;
    for (int i = 0; i < 2; ++i) burst += EncodeFrame(mtData, "list");
    ASSERT_TRUE(lister.Send(burst + EncodeFrame(mtData, "next")));
    ASSERT_TRUE(other.SendFrame(mtData, "chat"));
    auto chat = other.ReadFrame(1s);
    ASSERT_TRUE(chat);
    EXPECT_EQ(chat->body, "chat") << "another client is not slowed";
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(lister.ReadFrame(3s)) << i;
    auto next = lister.ReadFrame(3s);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->body, "next");
    // 2 lists of 31 requests each against a bucket of 40 refilled at 100 a second: the
    // request after them waits about 0.2 s (less than the flood time, so it is served).
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 150ms) << "the lists were not paid for";

    // Client-list requests draw on the bucket: a sustained stream of them is a flood.
    RawSocket flooder = b.LoggedIn();
    EXPECT_TRUE(FloodUntilClosed(flooder, mtClientList, 80));
    EXPECT_TRUE(other.StaysOpenAndQuiet(20ms));
}

TEST(ConnectionLimits, ARequestThatFailsClosesItsConnectionOnly) {
    TConnectionLimits l;
    Bounded b(l);
    b.h.onData = [](TCommonMsgServer&, const TClientRecPtr&, std::string_view body) {
        if (body == "boom") throw std::runtime_error("request failed");
    };
    RawSocket bad = b.LoggedIn();
    RawSocket good = b.LoggedIn();
    const uint64_t failed0 = Closes(TCloseReason::Failed);
    ASSERT_TRUE(bad.SendFrame(mtData, "boom"));
    EXPECT_TRUE(bad.WaitClosed(2s));
    EXPECT_TRUE(b.h.WaitUntil([&] { return b.h.disconnected.size() == 1; }));
    EXPECT_EQ(Closes(TCloseReason::Failed) - failed0, 1u);
    ASSERT_TRUE(good.SendFrame(mtHeartbeat, ""));
    EXPECT_TRUE(good.ReadFrame());
}

}  // namespace
}  // namespace tessil
