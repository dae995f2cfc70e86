// The promises that batching writes per worker round could break, over real loopback
// sockets: writes queued by handlers leave in order and complete once each, a reply
// queued just before a close still leaves, pipelined frames are answered in order (also
// when a header and its body arrive together), a room-style fan-out reaches every member
// once, and nothing queued is left unsent when a round ends. And the connection's output
// buffer: a backlog larger than the socket takes leaves whole and in order across partial
// sends (frames added meanwhile follow it), each frame completes once, and the memory of
// a burst is given back once it has left; the pieces of a send, copied and referenced
// frames, are the stream from wherever the last send stopped.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "iocpengine/DnOutputBuffer.h"
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

std::string Numbered(int i, size_t size) {
    std::string body = std::to_string(i) + ":";
    body.resize(size, static_cast<char>('a' + i % 26));
    return body;
}

// Queues frame i: every third one as a frame built for many connections (referenced by
// the output buffer, not copied), the others copied.
void QueueNumbered(TCommonMsgServer& s, const TClientRecPtr& c, int i, size_t size) {
    if (i % 3 == 0)
        s.SendFrame(std::make_shared<const std::string>(EncodeFrame(mtData, Numbered(i, size))), c);
    else
        s.SendString(Numbered(i, size), c);
}

// The client reads nothing until the server has queued far more than the socket buffers
// hold: the first part from the worker's round, the rest from another thread while the
// first send is still unfinished. Copied and referenced frames alternate, more of them in
// one write than one send takes.
TEST(OutputBuffer, ABacklogLeavesWholeAndInOrderAcrossPartialSends) {
    test::MsgServerHarness h;
    constexpr int kFrames = 4000;
    constexpr size_t kBody = 2000;  // 8 MB in all
    std::atomic<bool> firstHalfQueued{false};
    h.onData = [&](TCommonMsgServer& s, const TClientRecPtr& c, std::string_view) {
        for (int i = 0; i < kFrames / 2; ++i) QueueNumbered(s, c, i, kBody);
        firstHalfQueued = true;
    };
    test::RawSocket sock;
    ASSERT_TRUE(sock.Connect(h.Port()));
    ASSERT_TRUE(h.WaitUntil([&] { return h.connected.size() == 1; }));
    TClientRecPtr rec = h.Locked([&] { return h.connected[0]; });
    ASSERT_TRUE(sock.SendFrame(mtData, "go"));
    for (int i = 0; i < 500 && !firstHalfQueued; ++i) usleep(10000);
    ASSERT_TRUE(firstHalfQueued);
    for (int i = kFrames / 2; i < kFrames; ++i) QueueNumbered(h.server, rec, i, kBody);
    EXPECT_GT(rec->FPendingOut.load(), 1u << 20) << "the backlog waits in the server";
    for (int i = 0; i < kFrames; ++i) {
        auto f = sock.ReadFrame();
        ASSERT_TRUE(f) << "frame " << i;
        ASSERT_EQ(f->body, Numbered(i, kBody)) << "frame " << i;
    }
    // Every frame completed exactly once: the unsent count is back to zero, not below.
    ASSERT_TRUE(h.WaitUntil([&] { return rec->FPendingOut.load() == 0; }));
    usleep(20000);
    EXPECT_EQ(rec->FPendingOut.load(), 0u);
    {
        std::lock_guard send(rec->FSendGuard);
        ASSERT_NE(rec->FChannel, nullptr);
        EXPECT_LT(rec->FChannel->HeapBytes(), 4096u) << "an idle connection keeps no buffer";
    }
    EXPECT_TRUE(sock.StaysOpenAndQuiet(std::chrono::milliseconds(20)));
}

// The pieces of a send are the buffer's stream from wherever the last send stopped:
// copied frames next to each other form one piece, a referenced frame is its own, and a
// send never takes more pieces than the system allows.
TEST(OutputBuffer, GatheredPiecesAreTheStreamFromAnyOffset) {
    auto piecesFrom = [](TDnOutputBuffer& b, uint32_t from, int* count) {
        const iovec* iov = nullptr;
        *count = b.Gather(from, &iov);
        std::string s;
        for (int i = 0; i < *count; ++i)
            s.append(static_cast<const char*>(iov[i].iov_base), iov[i].iov_len);
        return s;
    };
    struct Case {
        const char* name;
        std::vector<int> kinds;  // per frame: 0 copied, 1 referenced
    };
    std::vector<int> many(TDnOutputBuffer::kMaxIov + 100, 1);
    for (size_t i = 0; i < many.size(); i += 4) many[i] = 0;
    const std::vector<Case> cases = {
        {"copied only", {0, 0, 0}},
        {"referenced only", {1, 1}},
        {"mixed", {0, 1, 0, 0, 1, 1, 0}},
        {"more pieces than one send takes", many},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto b = std::make_unique<TDnOutputBuffer>();
        std::string stream;
        std::vector<std::string> frames;
        for (size_t i = 0; i < c.kinds.size(); ++i) {
            const std::string frame = Numbered(static_cast<int>(i), 5 + i % 7);
            void* key = reinterpret_cast<void*>(i + 1);
            if (c.kinds[i] == 0)
                b->Append(key, frame.substr(0, 2), frame.substr(2));
            else
                b->AppendShared(key, std::make_shared<const std::string>(frame));
            frames.push_back(frame);
            stream += frame;
        }
        ASSERT_EQ(b->Size(), stream.size());
        // Sends that stop anywhere: inside a frame, at its end, one byte at a time.
        for (uint32_t from = 0; from < stream.size(); from += 1 + from % 5) {
            int count = 0;
            const std::string rest = piecesFrom(*b, from, &count);
            ASSERT_LE(count, static_cast<int>(TDnOutputBuffer::kMaxIov));
            ASSERT_GT(count, 0);
            ASSERT_EQ(rest, stream.substr(from, rest.size())) << "from " << from;
            if (count < static_cast<int>(TDnOutputBuffer::kMaxIov)) {
                ASSERT_EQ(rest.size(), stream.size() - from) << "from " << from;
            }
        }
        size_t i = 0;
        b->ForEachFrame([&](void* key, std::string_view frame) {
            ASSERT_LT(i, frames.size());
            EXPECT_EQ(key, reinterpret_cast<void*>(i + 1));
            EXPECT_EQ(frame, frames[i]);
            ++i;
        });
        EXPECT_EQ(i, frames.size());
    }
}

// The pool keeps a buffer of ordinary size for the next round and lets a burst's memory go.
TEST(OutputBuffer, APoolKeepsOrdinaryBuffersAndFreesABurstsOne) {
    const uint64_t before = TDnOutputBuffer::PooledBytes();
    auto big = TDnOutputBuffer::Take();
    big->bytes.assign(4u << 20, 'x');
    TDnOutputBuffer::Give(std::move(big));
    EXPECT_EQ(TDnOutputBuffer::PooledBytes(), before);

    auto small = TDnOutputBuffer::Take();
    small->bytes.assign(300, 'x');
    small->marks.push_back({300, 0, nullptr});
    const char* memory = small->bytes.data();
    TDnOutputBuffer::Give(std::move(small));
    EXPECT_GT(TDnOutputBuffer::PooledBytes(), before);
    auto again = TDnOutputBuffer::Take();
    EXPECT_EQ(again->bytes.data(), memory) << "reused, not allocated again";
    EXPECT_TRUE(again->bytes.empty());
    EXPECT_TRUE(again->marks.empty());
    EXPECT_EQ(TDnOutputBuffer::PooledBytes(), before);
}

}  // namespace
}  // namespace tessil
