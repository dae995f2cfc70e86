// Reactor behaviour: switching on and off, the channel registry, delete signals, time-out
// expiry and re-arm under a clock the test controls, and handler exceptions.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "iocpengine/DnException.h"
#include "iocpengine/DnTcpReactor.h"
#include "support/EngineTestKit.h"

namespace tessil {
namespace {

using testkit::Recorder;
using testkit::RunningReactor;

int ThreadCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

std::atomic<int> gFreed{0};

class CountingChannel : public TDnTcpChannel {
  public:
    using TDnTcpChannel::TDnTcpChannel;
    ~CountingChannel() override { gFreed.fetch_add(1); }
};

class MemoryLogger : public TDnAbstractLogger {
  public:
    void LogMsg(TDnLogLevel level, std::string_view msg) override {
        std::lock_guard lock(mu);
        lines.push_back(std::to_string(level) + ":" + std::string(msg));
    }
    std::vector<std::string> Lines() {
        std::lock_guard lock(mu);
        return lines;
    }
    std::mutex mu;
    std::vector<std::string> lines;
};

TEST(Reactor, TurnOnStartsWorkersAndTimerAndTurnOffLeavesNothingBehind) {
    // A thread started and joined first: a sanitizer starts its own helper thread with the
    // process's first thread, which must not count as the reactor's.
    std::thread([] {}).join();
    const int threadsBefore = ThreadCount();
    const int fdsBefore = testkit::OpenDescriptorCount();
    {
        TDnSimpleExecutor executor;  // outlives the reactor that refers to it
        TDnTcpReactor reactor;
        reactor.SetExecutor(&executor);
        executor.SetActive(true);
        reactor.SetActive(true);
        EXPECT_TRUE(reactor.Active());
        EXPECT_EQ(ThreadCount(), threadsBefore + 4 + 1);  // default workers and the timer
        ASSERT_NE(reactor.Timer(), nullptr);
        EXPECT_TRUE(reactor.Timer()->Active());
        reactor.SetActive(false);
        EXPECT_FALSE(reactor.Active());
        EXPECT_FALSE(executor.Active());
        EXPECT_EQ(reactor.Queue(), nullptr);
        // It may be switched on again.
        reactor.SetActive(true);
        EXPECT_TRUE(reactor.Active());
    }
    EXPECT_EQ(ThreadCount(), threadsBefore);
    EXPECT_EQ(testkit::OpenDescriptorCount(), fdsBefore);
}

TEST(Reactor, RegistryListsAChannelOnceAndRemovesItOnlyWhenClosed) {
    RunningReactor rr;
    testkit::LoopbackPair p = testkit::MakeLoopbackPair();
    gFreed = 0;
    auto* ch = new CountingChannel(&rr.reactor(), p.server, p.peer);
    ch->AddRef(rtClientList);  // the test's own reference
    rr.reactor().PostChannel(ch);
    rr.reactor().PostChannel(ch);
    EXPECT_EQ(rr.reactor().GetChannelCount(), 1);
    EXPECT_EQ(ch->RefCount(), 2);
    rr.reactor().RemoveChannel(ch);  // open: ignored
    EXPECT_EQ(rr.reactor().GetChannelCount(), 1);
    ch->CloseSocketHandle();
    ch->CloseSocketHandle();  // a second close does nothing
    rr.reactor().RemoveChannel(ch);
    rr.reactor().RemoveChannel(ch);
    EXPECT_EQ(rr.reactor().GetChannelCount(), 0);
    EXPECT_EQ(ch->RefCount(), 1);
    EXPECT_TRUE(testkit::WaitForEof(p.client));
    ch->Release(rtClientList);  // the last reference: one delete signal, freed on a worker
    for (int i = 0; i < 200 && gFreed.load() == 0; ++i) usleep(5000);
    EXPECT_EQ(gFreed.load(), 1);
    close(p.client);
}

TEST(Reactor, TimeOutIsReportedOncePerIdlePeriodAndActivityRearmsIt) {
    std::atomic<int64_t> nowMs{0};
    RunningReactor rr(2, [&] { return nowMs.load(); });
    std::mutex mu;
    std::vector<uint32_t> reports;  // the tact of each report
    rr.reactor().SetOnTimeout([&](TDnThreadContext*, TDnTcpChannel*) {
        std::lock_guard lock(mu);
        reports.push_back(rr.reactor().Timer()->CurrentTact());
    });
    auto reportCount = [&] {
        std::lock_guard lock(mu);
        return reports.size();
    };
    auto advanceTo = [&](int64_t ms, size_t expectReports) {
        nowMs = ms;
        // Waits up to 1 s for a new report; when none is expected, 150 ms show its absence.
        const bool expectNew = expectReports != SIZE_MAX;
        for (int i = 0; i < (expectNew ? 100 : 15); ++i) {
            rr.reactor().Timer()->Wake();
            usleep(10000);
            if (expectNew && reportCount() > expectReports) break;
        }
        return reportCount();
    };
    int client;
    TDnTcpChannel* ch = rr.NewChannel(&client);
    rr.reactor().SetTimeout(ch, 5);
    EXPECT_THROW(rr.reactor().SetTimeout(ch, 5), EDnException);

    EXPECT_EQ(advanceTo(4400, SIZE_MAX), 0u);   // tact 4: not yet
    EXPECT_EQ(advanceTo(5000, 0), 1u);          // tact 5: idle for the whole time-out
    EXPECT_EQ(advanceTo(11000, SIZE_MAX), 1u);  // still the same idle period: no second report
    EXPECT_TRUE(ch->TimeOutExpired());

    // Activity at tact 11 opens a new idle period ending at tact 16.
    Recorder rec;
    ch->RunRequest(TDnTcpReadRequest::CreateString(ch, nullptr, &rec, 1, true));
    testkit::SendAll(client, "x");
    ASSERT_TRUE(rec.WaitFor(1));
    EXPECT_FALSE(ch->TimeOutExpired());
    EXPECT_EQ(ch->LastIOTact(), 11u);
    EXPECT_EQ(advanceTo(15000, SIZE_MAX), 1u);
    EXPECT_EQ(advanceTo(16000, 1), 2u);
    {
        std::lock_guard lock(mu);
        EXPECT_EQ(reports[0], 5u);
        EXPECT_EQ(reports[1], 16u);
    }
    ch->RunRequest(new TDnTcpCloseRequest(ch, nullptr, nullptr, true));
    close(client);
}

TEST(Reactor, ActiveChannelNeverTimesOut) {
    std::atomic<int64_t> nowMs{0};
    RunningReactor rr(2, [&] { return nowMs.load(); });
    std::atomic<int> reports{0};
    rr.reactor().SetOnTimeout([&](TDnThreadContext*, TDnTcpChannel*) { ++reports; });
    int client;
    TDnTcpChannel* ch = rr.NewChannel(&client);
    rr.reactor().SetTimeout(ch, 3);
    Recorder rec;
    for (int i = 1; i <= 10; ++i) {
        ch->RunRequest(TDnTcpReadRequest::CreateString(ch, nullptr, &rec, 1, true));
        nowMs = i * 2000;  // a read every 2 s against a 3 s time-out
        testkit::SendAll(client, "x");
        ASSERT_TRUE(rec.WaitFor(static_cast<size_t>(i)));
        rr.reactor().Timer()->Wake();
        usleep(5000);
    }
    EXPECT_EQ(reports.load(), 0);
    ch->RunRequest(new TDnTcpCloseRequest(ch, nullptr, nullptr, true));
    close(client);
}

TEST(Reactor, ClosedChannelLeavesTheTimerAtOnce) {
    RunningReactor rr;
    int client;
    gFreed = 0;
    testkit::LoopbackPair p = testkit::MakeLoopbackPair();
    auto* ch = new CountingChannel(&rr.reactor(), p.server, p.peer);
    rr.reactor().PostChannel(ch);
    rr.reactor().SetTimeout(ch, 60000);
    Recorder rec;
    ch->RunRequest(new TDnTcpCloseRequest(ch, nullptr, &rec, true));
    ASSERT_TRUE(rec.WaitFor(1));
    // The timer's reference goes with the registry's; the channel is freed without
    // waiting for its time-out tact.
    for (int i = 0; i < 200 && gFreed.load() == 0; ++i) {
        rr.reactor().Timer()->Wake();
        usleep(5000);
    }
    EXPECT_EQ(gFreed.load(), 1);
    EXPECT_EQ(rr.reactor().Timer()->WatchedCount(), 0u);
    close(p.client);
    (void)client;
}

TEST(Reactor, ExceptionsInHandlersAreLoggedAndWorkersGoOn) {
    std::atomic<int64_t> nowMs{0};
    RunningReactor rr(1, [&] { return nowMs.load(); });
    MemoryLogger log;
    rr.reactor().SetLogger(&log);
    rr.executor.SetLogger(&log);
    rr.executor.SetLogLevel(llSerious);
    rr.reactor().SetOnTimeout(
        [](TDnThreadContext*, TDnTcpChannel*) { throw std::runtime_error("boom"); });
    int client;
    TDnTcpChannel* ch = rr.NewChannel(&client);
    rr.reactor().SetTimeout(ch, 1);
    nowMs = 1000;
    for (int i = 0; i < 200 && log.Lines().empty(); ++i) {
        rr.reactor().Timer()->Wake();
        usleep(5000);
    }
    ASSERT_FALSE(log.Lines().empty());
    EXPECT_EQ(log.Lines()[0], "1:OnTimeout handler raised an error. boom");

    // A read handler that throws: logged at the executor's level; the channel goes on.
    struct Thrower : Recorder {
        void DoRead(TDnThreadContext* c, TDnTcpChannel* ch, void* k, const char* b,
                    uint32_t n) override {
            Recorder::DoRead(c, ch, k, b, n);
            throw EDnException(ErrInvalidParameter, 0);
        }
    } thrower;
    ch->RunRequest(TDnTcpReadRequest::CreateString(ch, nullptr, &thrower, 1, true));
    ch->RunRequest(TDnTcpReadRequest::CreateString(ch, nullptr, &thrower, 1, true));
    testkit::SendAll(client, "ab");
    ASSERT_TRUE(thrower.WaitFor(2));
    usleep(20000);
    auto lines = log.Lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[1], "2:Invalid parameter passed to function.");
    ch->RunRequest(new TDnTcpCloseRequest(ch, nullptr, nullptr, true));
    close(client);
    rr.reactor().SetLogger(nullptr);  // the logger goes before the reactor
    rr.executor.SetLogger(nullptr);
}

TEST(Reactor, UserMessagesReachTheirEventAndReleaseTheirChannel) {
    RunningReactor rr;
    std::atomic<int> sum{0};
    rr.reactor().SetOnUserMessage([&](TDnThreadContext*, TDnTcpChannel*, int32_t type, void* data) {
        sum += type + static_cast<int>(reinterpret_cast<uintptr_t>(data));
    });
    int client;
    TDnTcpChannel* ch = rr.NewChannel(&client);
    rr.reactor().PostUserSignal(reinterpret_cast<void*>(uintptr_t(40)), 2, ch);
    for (int i = 0; i < 200 && sum.load() == 0; ++i) usleep(2000);
    EXPECT_EQ(sum.load(), 42);
    EXPECT_EQ(ch->RefCount(), 1);  // only the registry's
    ch->RunRequest(new TDnTcpCloseRequest(ch, nullptr, nullptr, true));
    close(client);
}

}  // namespace
}  // namespace tessil

namespace tessil {
namespace {

TEST(ReactorScheduling, ABusyHandlerDoesNotStallOtherConnections) {
    testkit::RunningReactor rr(2);
    int clientA, clientB;
    TDnTcpChannel* a = rr.NewChannel(&clientA);
    TDnTcpChannel* b = rr.NewChannel(&clientB);
    std::atomic<bool> slowRunning{false}, slowDone{false}, fastDone{false};
    std::atomic<bool> fastBeforeSlow{false};
    struct Slow : testkit::Recorder {
        std::atomic<bool>* running;
        std::atomic<bool>* done;
        void DoRead(TDnThreadContext*, TDnTcpChannel*, void*, const char*, uint32_t) override {
            running->store(true);
            usleep(400000);  // a handler that blocks its worker
            done->store(true);
        }
    } slow;
    slow.running = &slowRunning;
    slow.done = &slowDone;
    struct Fast : testkit::Recorder {
        std::atomic<bool>* slowDone;
        std::atomic<bool>* before;
        std::atomic<bool>* done;
        void DoRead(TDnThreadContext*, TDnTcpChannel*, void*, const char*, uint32_t) override {
            before->store(!slowDone->load());
            done->store(true);
        }
    } fast;
    fast.slowDone = &slowDone;
    fast.before = &fastBeforeSlow;
    fast.done = &fastDone;
    a->RunRequest(TDnTcpReadRequest::CreateString(a, nullptr, &slow, 1, true));
    b->RunRequest(TDnTcpReadRequest::CreateString(b, nullptr, &fast, 1, true));
    testkit::SendAll(clientA, "a");
    for (int i = 0; i < 200 && !slowRunning.load(); ++i) usleep(1000);
    ASSERT_TRUE(slowRunning.load());
    testkit::SendAll(clientB, "b");
    for (int i = 0; i < 1000 && !(fastDone.load() && slowDone.load()); ++i) usleep(1000);
    EXPECT_TRUE(fastBeforeSlow.load());
    a->RunRequest(new TDnTcpCloseRequest(a, nullptr, nullptr, true));
    b->RunRequest(new TDnTcpCloseRequest(b, nullptr, nullptr, true));
    close(clientA);
    close(clientB);
}

}  // namespace
}  // namespace tessil

namespace tessil {
namespace {

TEST(ReactorScheduling, AWorkerSurvivesAnExceptionOutsideTheHandlers) {
    testkit::RunningReactor rr(1);
    MemoryLogger log;
    rr.reactor().SetLogger(&log);
    // A request whose accounting fails: the exception escapes the packet's dispatch.
    struct Broken : TDnTcpRequest {
        Broken() : TDnTcpRequest(nullptr, nullptr, rtRead) {}
        void ReExecute() override {}
        TDnIORequestType RequestType() const override { return rtRead; }
        void CallHandler(TDnThreadContext*) override {}
        void SetTransferred(uint32_t) override { throw std::runtime_error("bad count"); }
    } broken;
    std::atomic<int> after{0};
    rr.reactor().SetOnUserMessage(
        [&](TDnThreadContext*, TDnTcpChannel*, int32_t, void*) { ++after; });
    rr.reactor().Queue()->Post(5, 0, broken.Overlapped());
    rr.reactor().PostUserSignal(nullptr, 0, nullptr);
    for (int i = 0; i < 500 && after.load() == 0; ++i) usleep(2000);
    EXPECT_EQ(after.load(), 1);  // the only worker is still running
    auto lines = log.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "1:Packet dispatch failed: bad count");
    rr.reactor().SetLogger(nullptr);  // the logger goes before the reactor
}

}  // namespace
}  // namespace tessil
