// Runtime primitives, the data queue, the engine logger, the socket-library switch and
// the simple executor.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "iocpengine/DnDataQueue.h"
#include "iocpengine/DnException.h"
#include "iocpengine/DnExecutor.h"
#include "iocpengine/DnLogger.h"
#include "iocpengine/DnRuntime.h"
#include "iocpengine/DnTcpChannel.h"
#include "iocpengine/DnWinSockMgr.h"

namespace tessil {
namespace {

TEST(Exception, MessageRules) {
    EDnException plain(ErrCannotSetTimeOutTwice, 0);
    EXPECT_EQ(plain.Message(), "");
    EXPECT_EQ(plain.ErrorMessage(), "Cannot set timeout twice to channel.");

    EDnException detailed(1, 7, "abc");
    EXPECT_EQ(detailed.Message(), "Error code is 1. Error subcode is 7. Details are abc");
    EXPECT_EQ(detailed.ErrorMessage(), "Invalid parameter passed to function. Details are: abc");

    EDnWindowsException sys(EACCES);
    EXPECT_EQ(sys.ErrorCode(), ErrWin32);
    EXPECT_EQ(sys.ErrorSubCode(), EACCES);
    EXPECT_EQ(sys.Message(), "");
    EXPECT_EQ(sys.ErrorMessage(), "Win32 system error. Details are: " + GetErrorText(EACCES));
    EXPECT_FALSE(GetErrorText(EACCES).empty());
    EXPECT_STREQ(ExceptionMessages[ErrSSL], "OpenSSL error");
}

TEST(Runtime, ObjectCountStartsAtOneAndTheLastReleaseDestroys) {
    static std::atomic<int> destroyed{0};
    struct Probe : TDnObject {
        ~Probe() override { ++destroyed; }
    };
    auto* p = new Probe;
    EXPECT_EQ(p->ObjAddRef(), 2);
    EXPECT_EQ(p->ObjRelease(), 1);
    EXPECT_EQ(destroyed.load(), 0);
    EXPECT_EQ(p->ObjRelease(), 0);
    EXPECT_EQ(destroyed.load(), 1);
}

TEST(Runtime, EventIsAutoReset) {
    TDnEvent e;
    EXPECT_EQ(e.WaitFor(0), dwrTimeOut);
    e.SetEvent();
    EXPECT_EQ(e.WaitFor(0), dwrSignaled);
    EXPECT_EQ(e.WaitFor(0), dwrTimeOut);
    TDnSemaphore s(1, 1);
    EXPECT_EQ(s.Wait(0), dwrSignaled);
    EXPECT_EQ(s.Wait(0), dwrTimeOut);
    s.Release();
    s.Release();  // beyond the maximum: ignored
    EXPECT_EQ(s.Wait(0), dwrSignaled);
    EXPECT_EQ(s.Wait(0), dwrTimeOut);
}

TEST(Runtime, ThreadThatRaisesStillDestroysItsContextAndEnds) {
    struct Raiser : TDnThread {
        std::atomic<bool> destroyed{false};
        TDnThread* seen = nullptr;
        ~Raiser() override { WaitFor(); }
        void CreateContext() override {}
        void DestroyContext() override { destroyed = true; }
        void ThreadRoutine() override {
            seen = CurrentDnThread();
            throw EDnException(ErrInvalidConfig, 0);
        }
    } t;
    t.Run();
    t.WaitFor();
    EXPECT_TRUE(t.destroyed.load());
    EXPECT_TRUE(t.Finished());
    EXPECT_EQ(t.seen, &t);
}

TEST(DataQueue, GrowthRoundsToTheIncrement) {
    struct Case {
        int32_t initial, increment;
        std::vector<int32_t> appends;
        int32_t capacity;
    };
    const Case cases[] = {
        {8192, 8192, {8193}, 16384}, {8192, 8192, {16384, 1}, 24576},
        {10, 4, {11}, 12},           {10, 4, {12}, 12},
        {10, 4, {10}, 10},
    };
    for (const Case& c : cases) {
        TDnDataQueue q(c.initial, c.increment);
        int32_t total = 0;
        for (int32_t n : c.appends) {
            std::string bytes(static_cast<size_t>(n), 'x');
            q.Append(bytes.data(), n);
            total += n;
        }
        EXPECT_EQ(q.Capacity(), c.capacity) << c.initial << "/" << c.increment;
        EXPECT_EQ(q.Size(), total);
    }
}

TEST(DataQueue, ExtractReadsAndBlocks) {
    TDnDataQueue q(16, 16);
    const char bytes[] = {1, 2, 3, 4, 5, 6};
    q.Append(bytes, 6);
    char out[10] = {};
    EXPECT_EQ(q.Extract(out, 3), 3);
    EXPECT_EQ(std::string(out, 3), std::string("\1\2\3"));
    EXPECT_EQ(q.ReadByte(), 4);
    EXPECT_EQ(q.Delete(0), 0);
    EXPECT_EQ(q.Extract(out, 10), 2);
    EXPECT_EQ(q.Size(), 0);

    const char le[] = {1, 2, 3, 4};
    q.Append(le, 4);
    EXPECT_TRUE(q.IsInteger());
    EXPECT_EQ(q.ReadInteger(), 0x04030201);
    EXPECT_EQ(q.Size(), 0);

    q.AppendString("");
    EXPECT_EQ(q.Size(), 0);
    q.AppendString("abcd");
    try {
        q.ReadBlock(5);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "!!!");
    }
    EXPECT_EQ(q.Size(), 4);
    EXPECT_EQ(q.ReadBlock(4), "abcd");
    EXPECT_EQ(q.Size(), 0);
    EXPECT_THROW(q.SetSize(q.Capacity() + 1), EAssertionFailed);

    std::istringstream in("stream!");
    q.AppendFromStream(in, 7);
    EXPECT_EQ(q.ReadBlock(7), "stream!");
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

TEST(Logger, LevelFilterLineFormatAndAppending) {
    char dir[] = "/tmp/dnlogXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/engine.log";
    {
        TDnFileLogger log;
        log.SetFileName(path);
        log.SetMinLevel(llCritical);
        log.LogMsg(llMandatory, "inactive");  // nothing, no error
        log.SetActive(true);
        EXPECT_THROW(log.SetFileName("other.log"), EDnException);
        log.LogMsg(llMandatory, "m");
        log.LogMsg(llCritical, "c");
        log.LogMsg(llSerious, "dropped");
        log.SetActive(false);
        log.SetActive(true);  // appends by default
        log.SetShowDateTime(false);
        log.SetShowProcessId(true);
        log.LogMsg(llCritical, "again");
        log.SetActive(false);
    }
    const std::string text = ReadFile(path);
    EXPECT_EQ(text.find("inactive"), std::string::npos);
    EXPECT_EQ(text.find("dropped"), std::string::npos);
    EXPECT_NE(text.find(" : m\r\n"), std::string::npos);
    EXPECT_NE(text.find(" : c\r\n"), std::string::npos);
    EXPECT_NE(text.find(AppendToWidth(std::to_string(getpid()), 5) + " : again\r\n"),
              std::string::npos);
    std::remove(path.c_str());
    rmdir(dir);

    TDnFileLogger widths;
    EXPECT_THROW(widths.SetProcessIdWidth(2), EDnException);
    EXPECT_EQ(widths.ProcessIdWidth(), 5);
    widths.SetProcessIdWidth(3);
    EXPECT_EQ(widths.ProcessIdWidth(), 3);
    EXPECT_EQ(AppendToWidth("812", 5), "  812");
    EXPECT_EQ(AppendToWidth("1234567", 5), "1234567");
}

TEST(WinSockMgr, OwesOneCleanupPerStartup) {
    const int startups = TDnWinSockMgr::StartupCount();
    const int cleanups = TDnWinSockMgr::CleanupCount();
    {
        TDnWinSockMgr mgr;
        mgr.SetActive(true);
        mgr.SetActive(true);
        EXPECT_EQ(TDnWinSockMgr::StartupCount(), startups + 1);
        mgr.SetActive(false);
        mgr.SetActive(false);
        EXPECT_EQ(TDnWinSockMgr::CleanupCount(), cleanups + 1);
        mgr.SetActive(true);
    }  // the destructor switches off
    EXPECT_EQ(TDnWinSockMgr::CleanupCount(), cleanups + 2);
}

class ListLogger : public TDnAbstractLogger {
  public:
    void LogMsg(TDnLogLevel level, std::string_view msg) override {
        lines.push_back(std::to_string(level) + ":" + std::string(msg));
    }
    std::vector<std::string> lines;
};

TEST(Executor, RunsHandlersFreesPureSignalsAndLogsExceptions) {
    static int freed = 0;
    static TDnThreadContext* seen = nullptr;
    struct Signal : TDnTcpRequest {
        bool raise;
        explicit Signal(bool r) : TDnTcpRequest(nullptr, nullptr, rtTimeoutEvent), raise(r) {}
        ~Signal() override { ++freed; }
        void ReExecute() override {}
        TDnIORequestType RequestType() const override { return rtTimeoutEvent; }
        bool IsPureSignal() const override { return true; }
        void CallHandler(TDnThreadContext* c) override {
            seen = c;
            if (raise) throw std::runtime_error("handler failed");
        }
        void SetTransferred(uint32_t) override {}
    };
    TDnThreadContext ctx;
    TDnThreadContext* destroyed = nullptr;
    TDnSimpleExecutor ex;
    ListLogger log;
    ex.SetLogger(&log);
    ex.SetLogLevel(llImportant);
    ex.SetOnCreateContext([&](TDnThread*) { return &ctx; });
    ex.SetOnDestroyContext([&](TDnThreadContext* c) { destroyed = c; });
    ex.SetActive(true);
    EXPECT_TRUE(ex.PostEvent(new Signal(false)));
    EXPECT_EQ(seen, &ctx);
    EXPECT_TRUE(ex.PostEvent(new Signal(true)));
    EXPECT_EQ(freed, 2);
    EXPECT_EQ(log.lines, std::vector<std::string>{"3:handler failed"});
    EXPECT_TRUE(ex.PostEvent(nullptr));
    ex.SetActive(false);
    EXPECT_EQ(destroyed, &ctx);
}

TEST(ChannelState, TimeOutIsSetOnceAndTheCacheKeepsOrder) {
    TDnTcpChannel ch(nullptr);
    ch.SetTimeOut(30);
    try {
        ch.SetTimeOut(30);
        FAIL();
    } catch (const EDnException& e) {
        EXPECT_EQ(e.ErrorCode(), ErrCannotSetTimeOutTwice);
    }
    EXPECT_EQ(ch.TimeOut(), 30u);

    EXPECT_EQ(ch.Add2Cache("cd", 2), 2u);
    ch.InsertToCache("ab", 2);
    char out[10];
    EXPECT_EQ(ch.ExtractFromCache(out, 10), 4u);
    EXPECT_EQ(std::string(out, 4), "abcd");
    EXPECT_FALSE(ch.CacheHasData());
    EXPECT_EQ(ch.Add2Cache("x", 0), 0u);

    // Nothing is allocated for an idle channel; the outgoing queue only on first use.
    EXPECT_EQ(ch.HeapBytes(), 0u);
    ch.Outgoing().AppendString("q");
    EXPECT_GE(ch.HeapBytes(), 8192u);
}

}  // namespace
}  // namespace tessil
