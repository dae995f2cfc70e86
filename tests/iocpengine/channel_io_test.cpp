// Channel and request behaviour over real loopback sockets: reads, lines, writes, closes,
// queueing and refusal. Each test drives one server-side channel from a blocking client.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <sstream>

#include "iocpengine/DnTcpChannel.h"
#include "iocpengine/DnTcpRequests.h"
#include "platform/Errors.h"
#include "support/EngineTestKit.h"

namespace tessil {
namespace {

using testkit::Recorder;
using testkit::RunningReactor;

class ChannelIoBase : public ::testing::Test {
  protected:
    explicit ChannelIoBase(bool smallBuffers = false) : smallBuffers_(smallBuffers) {}
    void SetUp() override {
        ch = rr.NewChannel(&client);
        if (smallBuffers_) {
            int small = 4096;
            setsockopt(ch->SocketHandle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        }
    }
    void TearDown() override {
        if (ch && !ch->IsClosing()) {
            ch->RunRequest(new TDnTcpCloseRequest(ch, nullptr, nullptr, true));
        }
        if (client >= 0) close(client);
    }
    void Read(uint32_t size, bool mustAll, void* key = nullptr) {
        ch->RunRequest(TDnTcpReadRequest::CreateString(ch, key, &rec, size, mustAll));
    }
    void Write(std::string s, void* key = nullptr) {
        ch->RunRequest(TDnTcpWriteRequest::CreateString(ch, key, &rec, std::move(s)));
    }

    RunningReactor rr;
    Recorder rec;
    TDnTcpChannel* ch = nullptr;
    int client = -1;

  private:
    bool smallBuffers_;
};

class ChannelIo : public ChannelIoBase {};

TEST_F(ChannelIo, MustAllReadWaitsForEveryByteAndPlainReadTakesTheFirstPart) {
    struct Case {
        bool mustAll;
        std::string expected;
    };
    for (const Case& c : {Case{true, "abcdef"}, Case{false, "abcd"}}) {
        Recorder r;
        ch->RunRequest(TDnTcpReadRequest::CreateString(ch, nullptr, &r, 6, c.mustAll));
        testkit::SendAll(client, "abcd");
        usleep(50000);
        testkit::SendAll(client, "ef");
        ASSERT_TRUE(r.WaitFor(1));
        auto ev = r.Events();
        EXPECT_EQ(ev[0].kind, "read");
        EXPECT_EQ(ev[0].data, c.expected) << "mustAll=" << c.mustAll;
        if (!c.mustAll) {
            // The rest stays on the socket for the next read.
            ch->RunRequest(TDnTcpReadRequest::CreateString(ch, nullptr, &r, 2, true));
            ASSERT_TRUE(r.WaitFor(2));
            EXPECT_EQ(r.Events()[1].data, "ef");
        }
    }
}

TEST_F(ChannelIo, PeerCloseDuringMustAllReadReportsCloseWithoutPartialData) {
    Read(6, true);
    testkit::SendAll(client, "abcd");
    usleep(30000);
    shutdown(client, SHUT_WR);
    ASSERT_TRUE(rec.WaitFor(1));
    EXPECT_EQ(rec.Kinds(), std::vector<std::string>{"readclose"});
}

TEST_F(ChannelIo, QueuedReadsRunInOrderAndReadAheadKeepsTheBytes) {
    // One burst holding several frames: the first read reads ahead, the rest come from
    // the cache, and every handler sees exactly its bytes.
    for (int i = 0; i < 4; ++i) Read(3, true, reinterpret_cast<void*>(uintptr_t(i)));
    testkit::SendAll(client, "aaabbbcccddd");
    ASSERT_TRUE(rec.WaitFor(4));
    auto ev = rec.Events();
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(ev[i].data, std::string(3, char('a' + i)));
        EXPECT_EQ(ev[i].key, reinterpret_cast<void*>(uintptr_t(i)));
    }
}

TEST_F(ChannelIo, LineRequestsSplitAtCrLfAndKeepTheTailInTheCache) {
    auto line = [&](int32_t max) { ch->RunRequest(new TDnTcpLineRequest(ch, nullptr, &rec, max)); };
    line(100);
    testkit::SendAll(client, std::string("abc\r\nde", 7));
    ASSERT_TRUE(rec.WaitFor(1));
    EXPECT_EQ(rec.Events()[0].data, "abc\r\n");
    EXPECT_TRUE(rec.Events()[0].eol);
    EXPECT_EQ(ch->CacheSize(), 2u);
    // The next line starts with the cached "de"; a lone LF or CR is no end of line.
    line(100);
    testkit::SendAll(client, "f\nx\ry\r\n");
    ASSERT_TRUE(rec.WaitFor(2));
    EXPECT_EQ(rec.Events()[1].data, "def\nx\ry\r\n");
    // A line longer than the maximum comes in pieces without the sign.
    line(4);
    line(4);
    testkit::SendAll(client, "abcdef");
    ASSERT_TRUE(rec.WaitFor(3));
    EXPECT_EQ(rec.Events()[2].data, "abcd");
    EXPECT_FALSE(rec.Events()[2].eol);
    // A zero byte hides a later CR LF: the request reads on until its buffer is full.
    testkit::SendAll(client, std::string("\0g\r\n", 4));
    ASSERT_TRUE(rec.WaitFor(4));
    EXPECT_EQ(rec.Events()[3].data, std::string("ef\0g", 4));
    EXPECT_FALSE(rec.Events()[3].eol);
}

TEST_F(ChannelIo, ReadSatisfiedFromTheCacheNeedsNoSocketData) {
    ch->RunRequest(new TDnTcpLineRequest(ch, nullptr, &rec, 100));
    testkit::SendAll(client, "hi\r\nrest!");
    ASSERT_TRUE(rec.WaitFor(1));
    Read(5, true);
    ASSERT_TRUE(rec.WaitFor(2));
    EXPECT_EQ(rec.Events()[1].data, "rest!");
}

TEST_F(ChannelIo, WritesArriveInOrderAndEachCompletesOnce) {
    std::string expected;
    for (int i = 0; i < 50; ++i) {
        std::string s = "frame" + std::to_string(i) + ";";
        expected += s;
        Write(s, reinterpret_cast<void*>(uintptr_t(i)));
    }
    EXPECT_EQ(testkit::RecvExactly(client, expected.size()), expected);
    ASSERT_TRUE(rec.WaitFor(50));
    auto ev = rec.Events();
    ASSERT_EQ(ev.size(), 50u);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(ev[i].kind, "write");
        EXPECT_EQ(ev[i].key, reinterpret_cast<void*>(uintptr_t(i)));
        EXPECT_EQ(ev[i].data, "frame" + std::to_string(i) + ";");
    }
}

TEST_F(ChannelIo, SharedFrameIsSentWithoutCopies) {
    auto frame = std::make_shared<const std::string>("shared-frame");
    for (int i = 0; i < 3; ++i)
        ch->RunRequest(TDnTcpWriteRequest::CreateShared(ch, nullptr, &rec, frame));
    EXPECT_EQ(testkit::RecvExactly(client, 36), "shared-frameshared-frameshared-frame");
    ASSERT_TRUE(rec.WaitFor(3));
    EXPECT_EQ(rec.Events()[0].data, "shared-frame");
}

// A stream over a string that records the size of every chunk the engine takes from it
// and whether it was freed.
class ChunkStream : public std::istream {
  public:
    ChunkStream(std::string data, std::vector<std::streamsize>* chunks, std::atomic<bool>* freed)
        : std::istream(&buf_), buf_(std::move(data), chunks), freed_(freed) {}
    ~ChunkStream() override { freed_->store(true); }

  private:
    struct Buf : std::stringbuf {
        Buf(std::string d, std::vector<std::streamsize>* c)
            : std::stringbuf(std::move(d)), chunks(c) {}
        std::streamsize xsgetn(char* s, std::streamsize n) override {
            std::streamsize got = std::stringbuf::xsgetn(s, n);
            chunks->push_back(got);
            return got;
        }
        std::vector<std::streamsize>* chunks;
    } buf_;
    std::atomic<bool>* freed_;
};

TEST_F(ChannelIo, StreamWriteSendsEveryChunkAndReportsOnce) {
    std::string data(20000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = char('a' + i % 26);
    std::vector<std::streamsize> chunks;
    std::atomic<bool> freed{false};
    ch->RunRequest(TDnTcpWriteRequest::CreateStream(
        ch, nullptr, &rec, std::make_unique<ChunkStream>(data, &chunks, &freed)));
    const std::string got = testkit::RecvExactly(client, data.size());
    EXPECT_TRUE(got == data);
    ASSERT_TRUE(rec.WaitFor(1));
    usleep(20000);
    EXPECT_EQ(rec.Kinds(), std::vector<std::string>{"writestream"});
    EXPECT_EQ(chunks, (std::vector<std::streamsize>{8192, 8192, 3616}));
    EXPECT_TRUE(freed.load());
}

TEST_F(ChannelIo, QueueWriteDrainsTheQueue) {
    TDnDataQueue q(8192, 8192);
    std::string data(10000, 'q');
    data[9999] = 'z';
    q.AppendString(data);
    ch->RunRequest(TDnTcpWriteRequest::CreateQueue(ch, nullptr, &rec, &q));
    EXPECT_EQ(testkit::RecvExactly(client, data.size()), data);
    ASSERT_TRUE(rec.WaitFor(1));
    EXPECT_EQ(rec.Events()[0].kind, "write");
    EXPECT_EQ(rec.Events()[0].data.size(), 10000u - 8192u);  // the last chunk's send
    EXPECT_EQ(q.Size(), 0);
    EXPECT_THROW(TDnTcpWriteRequest::CreateQueue(ch, nullptr, &rec, &q), std::invalid_argument);
}

TEST_F(ChannelIo, GracefulCloseWaitsForTheRunningReadAndDropsQueuedOnes) {
    ch->AddRef(rtClientList);  // keeps the channel inspectable after its close
    Read(3, true);             // running
    Read(3, true);             // queued
    ch->RunRequest(new TDnTcpCloseRequest(ch, nullptr, &rec, false));
    EXPECT_TRUE(ch->IsClosing());
    EXPECT_FALSE(ch->IsClosed());
    Write("late");  // refused: channel is closing
    testkit::SendAll(client, "abcdef");
    ASSERT_TRUE(rec.WaitFor(2));
    usleep(30000);
    EXPECT_EQ(rec.Kinds(), (std::vector<std::string>{"read", "close"}));
    EXPECT_TRUE(ch->IsClosed());
    EXPECT_EQ(rr.reactor().GetChannelCount(), 0);
    EXPECT_TRUE(testkit::WaitForEof(client));
    ch->Release(rtClientList);  // the last holder: the engine frees it
    ch = nullptr;
}

TEST_F(ChannelIo, BrutalCloseEndsARunningReadAsAClose) {
    Read(10, true);
    ch->RunRequest(new TDnTcpCloseRequest(ch, nullptr, &rec, true));
    ASSERT_TRUE(rec.WaitFor(2));
    auto kinds = rec.Kinds();
    std::sort(kinds.begin(), kinds.end());
    EXPECT_EQ(kinds, (std::vector<std::string>{"close", "readclose"}));
    EXPECT_TRUE(testkit::WaitForEof(client));
    ch = nullptr;
}

TEST_F(ChannelIo, RequestsAfterACloseAreFreedWithoutHandlers) {
    ch->AddRef(rtClientList);  // the user's reference keeps the closed channel valid
    ch->RunRequest(new TDnTcpCloseRequest(ch, nullptr, &rec, true));
    Read(1, false);
    Write("x");
    ch->RunRequest(new TDnTcpLineRequest(ch, nullptr, &rec, 10));
    ASSERT_TRUE(rec.WaitFor(1));
    usleep(30000);
    EXPECT_EQ(rec.Kinds(), std::vector<std::string>{"close"});
    EXPECT_EQ(ch->RefCount(), 1);  // no request is left holding it
    ch->Release(rtClientList);
    ch = nullptr;
}

}  // namespace
}  // namespace tessil

namespace tessil {
namespace {

// A channel whose send buffer fills quickly, so a large write stays in flight.
class ChannelBackpressure : public ChannelIoBase {
  protected:
    ChannelBackpressure() : ChannelIoBase(true) {}
};

TEST_F(ChannelBackpressure, GracefulCloseStartsWhenTheReadFinishesAndEndsTheRunningWrite) {
    ch->AddRef(rtClientList);
    Read(1, true);
    ch->RunRequest(TDnTcpWriteRequest::CreateString(ch, nullptr, &rec, std::string(4 << 20, 'w')));
    usleep(20000);
    ch->RunRequest(TDnTcpWriteRequest::CreateString(ch, nullptr, &rec, "waiting"));
    ch->RunRequest(new TDnTcpCloseRequest(ch, nullptr, &rec, false));
    testkit::SendAll(client, "r");  // the read finishes: the close starts
    ASSERT_TRUE(rec.WaitFor(3));
    usleep(30000);
    // The running write ends with an error. The waiting one is dropped without a call, or,
    // when it had already joined the running write's send, ends with an error as well.
    auto kinds = rec.Kinds();
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), "read"), 1);
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), "close"), 1);
    const auto errors = std::count(kinds.begin(), kinds.end(), "writeerror");
    EXPECT_TRUE(errors == 1 || errors == 2) << errors;
    EXPECT_EQ(kinds.size(), static_cast<size_t>(2 + errors));
    ch->Release(rtClientList);
    ch = nullptr;
}

TEST_F(ChannelBackpressure, GatheredWritesArriveWholeAndInOrder) {
    const std::string big(1 << 20, 'a');
    {
        std::lock_guard<TDnTcpChannel> hold(*ch);
        Write(big, reinterpret_cast<void*>(1));
        for (uintptr_t k = 2; k <= 20; ++k)
            Write("<" + std::to_string(k) + ">", reinterpret_cast<void*>(k));
    }
    std::string expected = big;
    for (int k = 2; k <= 20; ++k) expected += "<" + std::to_string(k) + ">";
    const std::string got = testkit::RecvExactly(client, expected.size(), 10000);
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "first difference at "
                                 << std::mismatch(got.begin(), got.end(), expected.begin()).first -
                                        got.begin();
    ASSERT_TRUE(rec.WaitFor(20));
    auto ev = rec.Events();
    for (uintptr_t k = 1; k <= 20; ++k) {
        EXPECT_EQ(ev[k - 1].kind, "write");
        EXPECT_EQ(ev[k - 1].key, reinterpret_cast<void*>(k));
    }
    EXPECT_EQ(ev[5].data, "<6>");
}

TEST_F(ChannelBackpressure, WritesGatheredIntoASendInFlightEachCompleteOnceOnClose) {
    {
        // Hold the channel so that the first write's continuation gathers the others.
        std::lock_guard<TDnTcpChannel> hold(*ch);
        Write(std::string(4 << 20, 'a'), reinterpret_cast<void*>(1));
        Write("b", reinterpret_cast<void*>(2));
        Write("c", reinterpret_cast<void*>(3));
        usleep(20000);
    }
    usleep(20000);
    ch->RunRequest(new TDnTcpCloseRequest(ch, nullptr, &rec, true));
    ASSERT_TRUE(rec.WaitFor(4));
    usleep(30000);
    auto ev = rec.Events();
    ASSERT_EQ(ev.size(), 4u);
    std::vector<uintptr_t> writeKeys;
    for (auto& e : ev)
        if (e.kind == "writeerror") writeKeys.push_back(reinterpret_cast<uintptr_t>(e.key));
    EXPECT_EQ(writeKeys, (std::vector<uintptr_t>{1, 2, 3}));
    ch = nullptr;
}

}  // namespace
}  // namespace tessil
