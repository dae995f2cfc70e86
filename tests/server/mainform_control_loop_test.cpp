// The control thread: tasks and timers run on it in order, Pump keeps timers ticking but
// holds button presses back, and nothing runs after Quit.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "server/ControlLoop.h"

namespace tessil {
namespace {

using namespace std::chrono_literals;

TEST(ControlLoop, CallRunsOnTheLoopThreadAndWaits) {
    ControlLoop loop;
    loop.StartThread();
    bool onLoop = false;
    int value = 0;
    ASSERT_TRUE(loop.Call(
        [&] {
            onLoop = loop.InLoopThread();
            value = 42;
        },
        1s));
    EXPECT_TRUE(onLoop);
    EXPECT_EQ(value, 42);
    EXPECT_FALSE(loop.InLoopThread());
}

TEST(ControlLoop, PumpTicksTimersButHoldsPostedTasksBack) {
    ControlLoop loop;
    loop.StartThread();
    std::atomic<int> ticks{0};
    std::vector<std::string> order;  // only touched on the loop thread
    loop.AddTimer(20ms, [&] { ++ticks; });
    loop.Post([&] {
        int before = ticks;
        loop.Pump(200ms);
        order.push_back("first press done");
        EXPECT_GE(ticks - before, 3);
    });
    loop.Post([&] { order.push_back("second press"); });
    std::vector<std::string> seen;
    ASSERT_TRUE(loop.Call([&] { seen = order; }, 2s));
    EXPECT_EQ(seen, (std::vector<std::string>{"first press done", "second press"}));
}

TEST(ControlLoop, DisabledTimerStopsAndRestartsAfterAFullPeriod) {
    ControlLoop loop;
    loop.StartThread();
    std::atomic<int> ticks{0};
    int id = loop.AddTimer(
        10ms, [&] { ++ticks; }, false);
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(ticks, 0);
    loop.SetTimerEnabled(id, true);
    std::this_thread::sleep_for(100ms);
    EXPECT_GT(ticks, 0);
}

TEST(ControlLoop, NothingRunsAfterQuitAndCallReportsIt) {
    ControlLoop loop;
    loop.StartThread();
    std::atomic<bool> ran{false};
    loop.Quit();
    loop.Join();
    loop.Post([&] { ran = true; });
    EXPECT_FALSE(loop.Call([&] { ran = true; }, 100ms));
    EXPECT_FALSE(ran);
}

TEST(ControlLoop, CallQueuedBehindABusyTaskReturnsAtQuit) {
    ControlLoop loop;
    loop.StartThread();
    std::atomic<bool> release{false};
    loop.Post([&] {
        while (!release) std::this_thread::sleep_for(1ms);
    });
    std::atomic<bool> ran{false};
    std::thread quitter([&] {
        std::this_thread::sleep_for(50ms);
        loop.Quit();
        release = true;
    });
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(loop.Call([&] { ran = true; }, 10s));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
    EXPECT_FALSE(ran);
    quitter.join();
}

TEST(ControlLoop, RunOnTheCallingThreadReturnsAfterQuitFromATask) {
    ControlLoop loop;
    int n = 0;
    loop.Post([&] { ++n; });
    loop.Post([&] { loop.Quit(); });
    loop.Post([&] { ++n; });  // dropped by Quit
    loop.Run();
    EXPECT_EQ(n, 1);
}

}  // namespace
}  // namespace tessil
