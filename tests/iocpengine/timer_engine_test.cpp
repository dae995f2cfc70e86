// Timer engine passes under a clock the test controls: expiry tacts, rounding,
// cancellation and switching off with entries still held.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "iocpengine/DnTcpChannel.h"
#include "iocpengine/DnTimerEngine.h"

namespace tessil {
namespace {

struct Sink : IDnTimerSupport {
    std::vector<TDnTcpChannel*> posted;
    void PostTimerMessage(TDnTcpChannel* c) override {
        posted.push_back(c);
        c->Release(rtTimerEngine);  // as the reactor does after handling the message
    }
};

class TimerEngine : public ::testing::Test {
  protected:
    TimerEngine() : timer([this] { return nowMs; }) {
        timer.SetTimerSink(&sink);
        for (auto& c : channels) {
            c = std::make_unique<TDnTcpChannel>(nullptr);
            c->AddRef(rtClientList);  // the test's own reference keeps them alive
        }
    }
    void At(int64_t ms) {
        nowMs = ms;
        timer.Scan();
    }
    int64_t nowMs = 0;
    Sink sink;
    TDnTimerEngine timer;
    std::unique_ptr<TDnTcpChannel> channels[4];
};

TEST_F(TimerEngine, ExpiresAtTheRegistrationTactPlusTheTimeOut) {
    TDnTcpChannel& c = *channels[0];
    c.SetTimeOut(5);
    At(10000);
    timer.RequestTimerNotify(&c, 5);
    EXPECT_EQ(c.TimeoutTact(), 15u);
    EXPECT_EQ(c.RefCount(), 2);
    At(14000);
    EXPECT_TRUE(sink.posted.empty());
    At(14499);  // rounds to 14
    EXPECT_TRUE(sink.posted.empty());
    At(14500);  // rounds to 15
    ASSERT_EQ(sink.posted.size(), 1u);
    EXPECT_EQ(c.TimeoutTact(), 20u);
    EXPECT_EQ(c.RefCount(), 1);
    At(30000);  // no longer watched
    EXPECT_EQ(sink.posted.size(), 1u);
}

TEST_F(TimerEngine, ZeroTactsOnlyCancelsAndCancellationAlwaysTakesEffect) {
    TDnTcpChannel& a = *channels[0];
    TDnTcpChannel& b = *channels[1];
    timer.RequestTimerNotify(&a, 0);
    EXPECT_EQ(a.RefCount(), 1);
    timer.RequestTimerNotify(&a, 3);
    timer.CancelNotify(&a);  // still waiting to join
    EXPECT_EQ(a.RefCount(), 1);
    timer.RequestTimerNotify(&b, 3);
    At(1000);  // b joins the watched list
    timer.CancelNotify(&b);
    At(2000);
    EXPECT_EQ(b.RefCount(), 1);
    At(10000);
    EXPECT_TRUE(sink.posted.empty());
    EXPECT_EQ(timer.WatchedCount(), 0u);
}

TEST_F(TimerEngine, SwitchingOffReleasesEveryEntry) {
    timer.SetActive(true);
    for (int i = 0; i < 3; ++i) timer.RequestTimerNotify(channels[i].get(), 100);
    timer.Scan();                                      // three watched
    timer.RequestTimerNotify(channels[3].get(), 100);  // one waiting
    for (auto& c : channels) EXPECT_EQ(c->RefCount(), 2);
    timer.SetActive(false);
    for (auto& c : channels) EXPECT_EQ(c->RefCount(), 1);
    EXPECT_EQ(timer.WatchedCount(), 0u);
}

}  // namespace
}  // namespace tessil
