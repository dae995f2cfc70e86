// The promises that batching writes per worker round could break, over real loopback
// sockets: writes queued by handlers leave in order and complete once each, a reply
// queued just before a close still leaves, pipelined frames are answered in order (also
// when a header and its body arrive together), a room-style fan-out reaches every member
// once, and nothing queued is left unsent when a round ends.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "iocpengine/DnTcpChannel.h"
#include "iocpengine/DnTcpRequests.h"
#include "protocol/MsgFrame.h"
#include "support/EngineTestKit.h"
#include "tests/common/MsgServerHarness.h"
#include "tests/common/RawSocket.h"

namespace tessil {
namespace {

using testkit::Recorder;
using testkit::RunningReactor;

// On each read of one byte, queues `burst` writes to its channel from the worker (so they
// all belong to that worker's round), then optionally closes brutally.
class BurstOnRead : public IDnTcpReadHandler {
  public:
    BurstOnRead(Recorder& rec, int burst, bool closeAfter)
        : rec_(rec), burst_(burst), closeAfter_(closeAfter) {}
    void DoRead(TDnThreadContext*, TDnTcpChannel* ch, void*, const char*, uint32_t) override {
        for (int i = 0; i < burst_; ++i) {
            ch->RunRequest(TDnTcpWriteRequest::CreateString(
                ch, reinterpret_cast<void*>(uintptr_t(i)), &rec_, "<" + std::to_string(i) + ">"));
        }
        if (closeAfter_) ch->RunRequest(new TDnTcpCloseRequest(ch, nullptr, &rec_, true));
    }
    void DoReadError(TDnThreadContext*, TDnTcpChannel*, void*, uint32_t) override {}
    void DoReadClose(TDnThreadContext*, TDnTcpChannel*, void*) override {}

  private:
    Recorder& rec_;
    int burst_;
    bool closeAfter_;
};

std::string Expected(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += "<" + std::to_string(i) + ">";
    return s;
}

TEST(WriteBatching, WritesQueuedInARoundLeaveInOrderAndEachCompletesOnce) {
    // More writes than one send gathers, so the round's flush continues in a second send.
    for (int burst : {1, 30, 150}) {
        SCOPED_TRACE(burst);
        RunningReactor rr;
        Recorder rec;
        BurstOnRead handler(rec, burst, false);
        int client = -1;
        TDnTcpChannel* ch = rr.NewChannel(&client);
        ch->RunRequest(TDnTcpReadRequest::CreateString(ch, nullptr, &handler, 1, true));
        testkit::SendAll(client, "x");
        const std::string want = Expected(burst);
        EXPECT_EQ(testkit::RecvExactly(client, want.size()), want);
        ASSERT_TRUE(rec.WaitFor(burst));
        usleep(20000);
        auto ev = rec.Events();
        ASSERT_EQ(ev.size(), static_cast<size_t>(burst)) << "each write completes exactly once";
        for (int i = 0; i < burst; ++i) {
            EXPECT_EQ(ev[i].kind, "write");
            EXPECT_EQ(ev[i].key, reinterpret_cast<void*>(uintptr_t(i)));
        }
        ch->RunRequest(new TDnTcpCloseRequest(ch, nullptr, nullptr, true));
        close(client);
    }
}

TEST(WriteBatching, AReplyQueuedJustBeforeABrutalCloseStillLeaves) {
    RunningReactor rr;
    Recorder rec;
    BurstOnRead handler(rec, 3, true);
    int client = -1;
    TDnTcpChannel* ch = rr.NewChannel(&client);
    ch->RunRequest(TDnTcpReadRequest::CreateString(ch, nullptr, &handler, 1, true));
    testkit::SendAll(client, "x");
    EXPECT_EQ(testkit::RecvExactly(client, Expected(3).size()), Expected(3));
    char b;
    EXPECT_EQ(recv(client, &b, 1, 0), 0) << "then the end of stream";
    ASSERT_TRUE(rec.WaitFor(4));
    usleep(20000);
    auto kinds = rec.Kinds();
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), "write"), 3);
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), "close"), 1);
    close(client);
}

// Message server level: many frames in one TCP segment are answered in order, data echoes
// and heartbeats interleaved, with nothing left behind at the end of the round.
TEST(WriteBatching, PipelinedFramesAreAnsweredInRequestOrder) {
    test::MsgServerHarness h;
    h.onData = [](TCommonMsgServer& s, const TClientRecPtr& c, std::string_view body) {
        s.SendString(body, c);
    };
    test::RawSocket s;
    ASSERT_TRUE(s.Connect(h.Port()));
    std::string burst;
    for (int i = 0; i < 300; ++i) {
        if (i % 3 == 2)
            burst += EncodeFrame(mtHeartbeat, {});
        else
            burst += EncodeFrame(mtData, "m" + std::to_string(i));
    }
    ASSERT_TRUE(s.Send(burst));
    for (int i = 0; i < 300; ++i) {
        auto f = s.ReadFrame();
        ASSERT_TRUE(f) << "reply " << i;
        if (i % 3 == 2) {
            EXPECT_EQ(f->type, mtHeartbeat) << i;
        } else {
            EXPECT_EQ(f->type, mtData) << i;
            EXPECT_EQ(f->body, "m" + std::to_string(i));
        }
    }
    EXPECT_TRUE(s.StaysOpenAndQuiet(std::chrono::milliseconds(50)));
}

// A frame shared by many connections, queued from one handler (as a room broadcast is),
// reaches every member exactly once.
TEST(WriteBatching, ASharedNoticeReachesEveryMemberOnce) {
    test::MsgServerHarness h;
    constexpr int kMembers = 40;
    h.onData = [&h](TCommonMsgServer& s, const TClientRecPtr&, std::string_view body) {
        auto frame = std::make_shared<const std::string>(EncodeFrame(mtData, body));
        auto all = h.Locked([&] { return h.connected; });
        for (const auto& c : all) s.SendFrame(frame, c);
    };
    std::vector<test::RawSocket> members(kMembers);
    for (auto& m : members) ASSERT_TRUE(m.Connect(h.Port()));
    ASSERT_TRUE(h.WaitUntil([&] { return h.connected.size() == kMembers; }));
    for (int round = 0; round < 5; ++round)
        ASSERT_TRUE(members[round].SendFrame(mtData, "notice" + std::to_string(round)));
    for (auto& m : members) {
        std::vector<std::string> got;
        for (int round = 0; round < 5; ++round) {
            auto f = m.ReadFrame();
            ASSERT_TRUE(f);
            got.push_back(f->body);
        }
        std::sort(got.begin(), got.end());
        EXPECT_EQ(
            got, (std::vector<std::string>{"notice0", "notice1", "notice2", "notice3", "notice4"}));
        EXPECT_TRUE(m.StaysOpenAndQuiet(std::chrono::milliseconds(5)));
    }
}

}  // namespace
}  // namespace tessil
