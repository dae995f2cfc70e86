// The requestor over real loopback channels: operations ignored while off, events for
// data, the peer's close and the requestor's own close, and handler errors that are
// logged without stopping the completion.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "iocpengine/DnTcpRequestor.h"
#include "tests/iocpengine/support/EngineTestKit.h"

namespace tessil {
namespace {

using namespace std::chrono_literals;

class LinesLogger : public TDnAbstractLogger {
  public:
    void LogMsg(TDnLogLevel level, std::string_view msg) override {
        std::lock_guard lock(mu_);
        lines_.push_back(std::to_string(level) + " " + std::string(msg));
    }
    std::vector<std::string> Lines() {
        std::lock_guard lock(mu_);
        return lines_;
    }

  private:
    std::mutex mu_;
    std::vector<std::string> lines_;
};

struct RequestorFixture : ::testing::Test {
    RequestorFixture() {
        requestor.SetReactor(&engine.reactor());
        requestor.SetExecutor(&engine.executor);
        requestor.SetLogger(&logger);
        requestor.SetLogLevel(llSerious);
        requestor.SetOnRead(
            [this](TDnThreadContext*, TDnTcpChannel*, void* key, const char* b, uint32_t n) {
                Add("read " + std::string(b, n) + " key " + std::to_string(Key(key)));
                if (throwOnRead) throw std::runtime_error("read handler failed");
            });
        requestor.SetOnWrite(
            [this](TDnThreadContext*, TDnTcpChannel*, void* key, const char*, uint32_t n) {
                Add("write " + std::to_string(n) + " key " + std::to_string(Key(key)));
            });
        requestor.SetOnError(
            [this](TDnThreadContext*, TDnTcpChannel*, void*, uint32_t) { Add("error"); });
        requestor.SetOnClientClose(
            [this](TDnThreadContext*, TDnTcpChannel*, void*) { Add("clientclose"); });
        requestor.SetOnClose([this](TDnThreadContext*, TDnTcpChannel* ch, void*) {
            Add(ch->IsClosed() ? "close after socket closed" : "close with socket open");
        });
        channel = engine.NewChannel(&client);
    }
    ~RequestorFixture() override {
        // Workers stop before the recording members go.
        engine.reactor().SetActive(false);
        if (client >= 0) ::close(client);
    }

    static uintptr_t Key(void* k) { return reinterpret_cast<uintptr_t>(k); }
    void Add(std::string e) {
        {
            std::lock_guard lock(mu);
            events.push_back(std::move(e));
        }
        cv.notify_all();
    }
    bool WaitEvents(size_t n, std::chrono::milliseconds t = 5s) {
        std::unique_lock lock(mu);
        return cv.wait_for(lock, t, [&] { return events.size() >= n; });
    }
    std::vector<std::string> Events() {
        std::lock_guard lock(mu);
        return events;
    }

    testkit::RunningReactor engine;
    LinesLogger logger;
    TDnTcpRequestor requestor;
    TDnTcpChannel* channel = nullptr;
    int client = -1;
    bool throwOnRead = false;
    std::mutex mu;
    std::condition_variable cv;
    std::vector<std::string> events;
};

void* K(uintptr_t v) {
    return reinterpret_cast<void*>(v);
}

TEST_F(RequestorFixture, InactiveRequestorIgnoresEveryOperation) {
    requestor.ReadString(channel, K(1), 3);
    requestor.WriteString(channel, K(2), "abc");
    requestor.Close(channel, K(3), true);
    testkit::SendAll(client, "xyz");
    EXPECT_FALSE(WaitEvents(1, 200ms));
    EXPECT_FALSE(channel->IsClosed());
}

TEST_F(RequestorFixture, ReadsAndWritesCompleteWithTheirKeysInQueueOrder) {
    requestor.SetActive(true);
    requestor.ReadString(channel, K(1), 3);
    requestor.ReadString(channel, K(2), 2);
    requestor.WriteString(channel, K(3), "hello ");
    requestor.WriteShared(channel, K(4), std::make_shared<const std::string>("world"));
    testkit::SendAll(client, "abcde");
    ASSERT_TRUE(WaitEvents(4));
    EXPECT_EQ(testkit::RecvExactly(client, 11), "hello world");
    auto ev = Events();
    std::vector<std::string> reads, writes;
    for (auto& e : ev) (e.rfind("read", 0) == 0 ? reads : writes).push_back(e);
    EXPECT_EQ(reads, (std::vector<std::string>{"read abc key 1", "read de key 2"}));
    EXPECT_EQ(writes, (std::vector<std::string>{"write 6 key 3", "write 5 key 4"}));
}

TEST_F(RequestorFixture, RaisingReadHandlerIsLoggedAndTheNextReadStillRuns) {
    requestor.SetActive(true);
    throwOnRead = true;
    requestor.ReadString(channel, K(1), 2);
    requestor.ReadString(channel, K(2), 2);
    testkit::SendAll(client, "abcd");
    ASSERT_TRUE(WaitEvents(2));
    // The handler records its event before it raises; the log line follows.
    for (int i = 0; i < 500 && logger.Lines().size() < 2; ++i) std::this_thread::sleep_for(1ms);
    auto lines = logger.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], std::to_string(llSerious) + " read handler failed");
}

TEST_F(RequestorFixture, PeerCloseDuringAReadIsAClientCloseOnly) {
    requestor.SetActive(true);
    requestor.ReadString(channel, K(1), 6);
    testkit::SendAll(client, "abcd");  // fewer bytes than asked, then the end
    ::shutdown(client, SHUT_WR);
    ASSERT_TRUE(WaitEvents(1));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(Events(), std::vector<std::string>{"clientclose"});
}

TEST_F(RequestorFixture, CloseEventComesAfterTheSocketIsClosed) {
    requestor.SetActive(true);
    requestor.Close(channel, K(9), true);
    ASSERT_TRUE(WaitEvents(1));
    EXPECT_EQ(Events()[0], "close after socket closed");
    EXPECT_TRUE(testkit::WaitForEof(client));
}

}  // namespace
}  // namespace tessil
