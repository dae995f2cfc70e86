// The log file writer's bounds: lines of one kind beyond the rate are counted, not
// written, with one line per episode and a count when the kind writes again; other kinds
// are not affected; past the size cap the file becomes NAME.1 and a new one begins. And
// the window log's byte budget, which long lines reach before the line count does. And
// the writer's descriptor target (standard output).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/AppLog.h"
#include "platform/LimitEvents.h"
#include "platform/LogFile.h"

namespace tessil {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

uint64_t Refusals(const std::string& name) {
    uint64_t n = 0;
    limits::ForEachRefusal([&](const std::string& k, uint64_t v) {
        if (k == name) n = v;
    });
    return n;
}

fs::path TempLog(const char* tag) {
    auto p = fs::temp_directory_path() /
             (std::string("tessil_logfile_") + tag + "_" + std::to_string(::getpid()) + ".log");
    fs::remove(p);
    fs::remove(p.string() + ".1");
    return p;
}

TEST(LogFile, AFloodOfOneKindCostsOneLineAndACount) {
    const auto path = TempLog("rate");
    const uint64_t before = Refusals("test_log_lines");
    {
        TLogFile log([](std::string_view note) { return "NOTE " + std::string(note); },
                     "test_log_lines");
        log.SetPath(path.string());
        TLogFileLimits limits;
        limits.linesPerSecond = 10;
        log.SetLimits(limits);
        for (int i = 0; i < 5000; ++i) log.Append("flood", "flood " + std::to_string(i));
        log.Append("other", "other kind still written");
        // Once the bucket refills, the kind writes again and says how many it left out.
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        log.Append("flood", "flood after");
        log.Flush();
    }
    const std::string text = ReadAll(path);
    // Ten in the first second (the first at the file's start), then "flood after".
    EXPECT_EQ(Count(text, "\r\nflood "), 10u) << text;
    EXPECT_EQ(text.rfind("flood 0\r\n", 0), 0u);
    EXPECT_EQ(Count(text, "NOTE flood: more than 10 lines a second"), 1u) << text;
    EXPECT_NE(text.find("other kind still written\r\n"), std::string::npos);
    EXPECT_NE(text.find("NOTE flood: 4990 lines of this kind were not written"), std::string::npos)
        << text;
    EXPECT_NE(text.find("flood after\r\n"), std::string::npos);
    EXPECT_EQ(Refusals("test_log_lines") - before, 4990u);
    fs::remove(path);
}

TEST(LogFile, PastTheSizeCapTheFileIsRenamedAndANewOneBegins) {
    const auto path = TempLog("cap");
    {
        TLogFile log([](std::string_view note) { return std::string(note); }, "test_cap_lines");
        log.SetPath(path.string());
        TLogFileLimits limits;
        limits.maxBytes = 1000;
        log.SetLimits(limits);
        for (int i = 0; i < 30; ++i) {
            log.Append("k", std::string(98, 'a' + i % 26));  // 100 bytes with CR LF
            log.Flush();
        }
    }
    EXPECT_LE(fs::file_size(path), 1000u);
    EXPECT_LE(fs::file_size(path.string() + ".1"), 1000u);
    EXPECT_EQ(fs::file_size(path) + fs::file_size(path.string() + ".1"), 1000u + 1000u);
    // The newest line is in the current file.
    EXPECT_NE(ReadAll(path).find(std::string(98, 'a' + 29 % 26)), std::string::npos);
    fs::remove(path);
    fs::remove(path.string() + ".1");
}

TEST(WindowLog, LongLinesAreCutAndTheLogStaysWithinItsByteBudget) {
    windowlog::Configure(1000, 100000);
    windowlog::Clear();
    for (int i = 0; i < 1000; ++i) windowlog::Add(std::string(1 << 20, 'x'));
    const auto lines = windowlog::Snapshot();
    size_t bytes = 0;
    for (const auto& l : lines) {
        EXPECT_LE(l.size(), 1000u + 40u);
        bytes += l.size();
    }
    EXPECT_LE(bytes, 100000u);
    EXPECT_GT(lines.size(), 50u);
    windowlog::Configure(2048, 4u << 20);
    windowlog::Clear();
}

TEST(WindowLog, ConnectionEventsCarryTheirConnectionAndTime) {
    windowlog::Clear();
    windowlog::Add("client authenticated", "#7 127.0.0.1:5000");
    const auto entries = windowlog::SnapshotEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].text, "client authenticated");
    const std::string text = windowlog::EchoLine(entries[0], windowlog::Echo::kText);
    EXPECT_EQ(text.substr(text.size() - 42), "Z [#7 127.0.0.1:5000] client authenticated");
    const std::string json = windowlog::EchoLine(entries[0], windowlog::Echo::kJson);
    EXPECT_EQ(
        json.substr(json.find("\",\"log")),
        "\",\"log\":\"window\",\"conn\":\"#7 127.0.0.1:5000\",\"msg\":\"client authenticated\"}");
    windowlog::Clear();
}

// Standard output's writer: whole LF-ended lines in order on the descriptor, and a Flush
// does not wait out the batch delay.
TEST(LogFile, ADescriptorTargetGetsWholeLinesAndFlushSkipsTheDelay) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    {
        TLogFile out([](std::string_view note) { return std::string(note); }, "test_lines");
        out.SetDescriptor(fds[1]);
        out.SetBatchDelay(std::chrono::seconds(30));
        for (int i = 0; i < 3; ++i) out.Append("k", "line " + std::to_string(i));
        out.Flush();
        char buf[64] = {};
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), "line 0\nline 1\nline 2\n");
    }
    ::close(fds[0]);
    ::close(fds[1]);
}

}  // namespace
}  // namespace tessil
