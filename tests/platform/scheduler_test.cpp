// Tests of the scheduler: due order, cancellation before, during and inside a run, and
// that destruction drops what has not run. Runs on the test thread and the timer thread.
#include "platform/Scheduler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace tessil {
namespace {

using namespace std::chrono_literals;

TEST(Scheduler, RunsEntriesInDueOrderNotSchedulingOrder) {
    Scheduler s;
    std::mutex m;
    std::vector<int> order;
    std::promise<void> done;
    s.ScheduleAfter(60, [&] {
        std::lock_guard<std::mutex> l(m);
        order.push_back(3);
        done.set_value();
    });
    s.ScheduleAfter(30, [&] {
        std::lock_guard<std::mutex> l(m);
        order.push_back(2);
    });
    s.ScheduleAfter(0, [&] {
        std::lock_guard<std::mutex> l(m);
        order.push_back(1);
    });
    ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
    std::lock_guard<std::mutex> l(m);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(Scheduler, SchedulingNeverWaitsForTheDelay) {
    Scheduler s;
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i) s.ScheduleAfter(10000, [] {});
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);
    EXPECT_EQ(s.Pending(), 100u);
}

TEST(Scheduler, CancelBeforeRunPreventsIt) {
    Scheduler s;
    std::atomic<bool> ran{false};
    auto id = s.ScheduleAfter(50, [&] { ran = true; });
    EXPECT_TRUE(s.Cancel(id));
    EXPECT_FALSE(s.Cancel(id));
    std::this_thread::sleep_for(120ms);
    EXPECT_FALSE(ran);
}

TEST(Scheduler, CancelWhileRunningWaitsForTheEntryToFinish) {
    Scheduler s;
    std::promise<void> started;
    std::atomic<bool> finished{false};
    auto id = s.ScheduleAfter(0, [&] {
        started.set_value();
        std::this_thread::sleep_for(100ms);
        finished = true;
    });
    started.get_future().wait();
    EXPECT_FALSE(s.Cancel(id));
    EXPECT_TRUE(finished);  // Cancel returned only after the entry had finished
}

TEST(Scheduler, CancelFromInsideTheRunningEntryDoesNotDeadlock) {
    Scheduler s;
    std::promise<bool> result;
    Scheduler::TaskId id = 0;
    std::promise<void> idSet;
    auto idReady = idSet.get_future().share();
    id = s.ScheduleAfter(0, [&, idReady] {
        idReady.wait();
        result.set_value(s.Cancel(id));
    });
    idSet.set_value();
    auto f = result.get_future();
    ASSERT_EQ(f.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(f.get());
}

TEST(Scheduler, AThrowingEntryDoesNotStopTheThread) {
    Scheduler s;
    std::promise<void> after;
    s.ScheduleAfter(0, [] { throw std::runtime_error("boom"); });
    s.ScheduleAfter(1, [&] { after.set_value(); });
    EXPECT_EQ(after.get_future().wait_for(5s), std::future_status::ready);
}

TEST(Scheduler, DestructionDropsEntriesThatHaveNotRunAndReleasesTheirCaptures) {
    auto token = std::make_shared<int>(1);
    std::atomic<bool> ran{false};
    {
        Scheduler s;
        s.ScheduleAfter(10000, [&ran, token] { ran = true; });
    }
    EXPECT_FALSE(ran);
    EXPECT_EQ(token.use_count(), 1);
}

}  // namespace
}  // namespace tessil
