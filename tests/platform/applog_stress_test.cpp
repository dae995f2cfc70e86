// Many threads write the window log and the file log at once: every file line arrives
// whole and in the format, the window log stays bounded, and writers never wait.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "platform/AppLog.h"
#include "tests/platform/support/LogStamp.h"

namespace tessil {
namespace {

using test::splitStamp;
TEST(AppLogStress, ManyThreadsWriteBothLogsAtOnce) {
    constexpr int kThreads = 8;
    constexpr int kLines = 2000;
    const auto path = std::filesystem::temp_directory_path() /
                      ("tessil_applog_stress_" + std::to_string(::getpid()) + ".log");
    std::filesystem::remove(path);
    filelog::SetPath(path.string());
    windowlog::Clear();

    std::atomic<int> notified{0};
    const int sub = windowlog::Subscribe([&](const std::string&, bool) { ++notified; });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const std::string pad(50 + t * 10, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i) {
                const std::string tag = std::to_string(t) + "-" + std::to_string(i);
                filelog::Write("T" + std::to_string(t), tag + " " + pad);
                windowlog::Add("w " + tag);
            }
        });
    }
    // Readers run alongside the writers, as the control panel does.
    std::thread reader([] {
        uint64_t seq = 0;
        for (int i = 0; i < 200; ++i) {
            windowlog::Since(seq, &seq);
            windowlog::Snapshot();
        }
    });
    for (auto& th : threads) th.join();
    reader.join();
    windowlog::Unsubscribe(sub);
    filelog::Flush();
    filelog::SetPath("");

    EXPECT_EQ(notified.load(), kThreads * kLines);
    EXPECT_EQ(windowlog::Snapshot().size(), windowlog::kMaxLines);

    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    const std::string text = content.str();
    std::set<std::string> tags;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find("\r\n", start);
        ASSERT_NE(end, std::string::npos) << "last line not ended by CR LF";
        const std::string one = text.substr(start, end - start);
        // "T<t> : <t>-<i> <pad>"
        std::string rest;
        ASSERT_TRUE(splitStamp(one, rest)) << one;
        ASSERT_GE(rest.size(), 8u) << one;
        ASSERT_EQ(rest[0], 'T') << one;
        const int t = rest[1] - '0';
        ASSERT_TRUE(t >= 0 && t < kThreads) << one;
        const std::string prefix = "T" + std::to_string(t) + " : " + std::to_string(t) + "-";
        ASSERT_EQ(rest.compare(0, prefix.size(), prefix), 0) << one;
        const size_t blank = rest.find(' ', prefix.size());
        ASSERT_NE(blank, std::string::npos) << one;
        EXPECT_EQ(rest.substr(blank + 1), std::string(50 + t * 10, static_cast<char>('a' + t)));
        tags.insert(rest.substr(prefix.size() - 2, blank - prefix.size() + 2));
        start = end + 2;
    }
    EXPECT_EQ(tags.size(), static_cast<size_t>(kThreads * kLines));
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace tessil
