// Tests of the window log (bound, incremental reads, subscribers) and the file log
// (time-stamp format, file creation and appending, dropped lines without a path).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/AppLog.h"
#include "tests/platform/support/LogStamp.h"

namespace tessil {
namespace {

using test::splitStamp;
std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::filesystem::path tempLog(const std::string& tag) {
    auto path = std::filesystem::temp_directory_path() /
                ("tessil_applog_" + tag + "_" + std::to_string(::getpid()) + ".log");
    std::filesystem::remove(path);
    return path;
}

TEST(WindowLog, KeepsTheNewest5000Lines) {
    windowlog::Clear();
    for (int i = 0; i < 6000; ++i) windowlog::Add("line " + std::to_string(i));
    uint64_t last = 0;
    const auto lines = windowlog::Snapshot(&last);
    ASSERT_EQ(lines.size(), windowlog::kMaxLines);
    EXPECT_EQ(lines.front(), "line 1000");
    EXPECT_EQ(lines.back(), "line 5999");

    windowlog::Add("next");
    uint64_t newest = 0;
    EXPECT_EQ(windowlog::Since(last, &newest), std::vector<std::string>{"next"});
    EXPECT_EQ(newest, last + 1);
    EXPECT_TRUE(windowlog::Since(newest, &newest).empty());
    // A reader that fell behind the bound gets every kept line.
    EXPECT_EQ(windowlog::Since(0, &newest).size(), windowlog::kMaxLines);
}

TEST(WindowLog, SubscribersSeeLinesAndClearUntilUnsubscribed) {
    std::vector<std::pair<std::string, bool>> seen;
    std::vector<bool> changes;
    // A change subscriber alone copies no text; beside it, the line reader gets every line.
    const int changed =
        windowlog::SubscribeChanges([&](bool cleared) { changes.push_back(cleared); });
    windowlog::Add("zero");
    const int id = windowlog::Subscribe(
        [&](const std::string& line, bool cleared) { seen.emplace_back(line, cleared); });
    windowlog::Add("one");
    windowlog::Clear();
    windowlog::Unsubscribe(id);
    windowlog::Unsubscribe(changed);
    windowlog::Add("two");
    const std::vector<std::pair<std::string, bool>> expected = {{"one", false}, {"", true}};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(changes, (std::vector<bool>{false, false, true}));
    EXPECT_EQ(windowlog::Snapshot(), std::vector<std::string>{"two"});
}

TEST(FileLog, StampHasTheExactFormat) {
    EXPECT_EQ(filelog::FormatStamp(2026, 1, 2, 3, 4, 5), "2026/01/02 [03:04:05] ");
    EXPECT_EQ(filelog::FormatStamp(999, 12, 31, 23, 59, 59), "0999/12/31 [23:59:59] ");
}

TEST(FileLog, CreatesTheFileThenAppendsWholeLines) {
    const auto path = tempLog("append");
    filelog::SetPath(path.string());
    filelog::Write("Server", "Create");
    filelog::Flush();
    ASSERT_TRUE(std::filesystem::exists(path));
    filelog::Write("Head", "two\nlines");
    filelog::Flush();
    filelog::SetPath("");
    filelog::Write("Dropped", "no path");
    filelog::Flush();

    const std::string text = readFile(path);
    const size_t split = text.find("\r\n") + 2;
    std::string first, second;
    ASSERT_TRUE(splitStamp(text.substr(0, split), first)) << text;
    ASSERT_TRUE(splitStamp(text.substr(split), second)) << text;
    EXPECT_EQ(first, "Server : Create\r\n");
    // A line break inside a message is escaped, so a message cannot forge a line.
    EXPECT_EQ(second, "Head : two\\nlines\r\n");
    std::filesystem::remove(path);
}

TEST(FileLog, UnwritablePathLosesLinesButNotTheLog) {
    filelog::SetPath("/nonexistent-dir/tessil.log");
    filelog::Write("Lost", "line");
    filelog::Flush();
    const auto path = tempLog("recover");
    filelog::SetPath(path.string());
    filelog::Write("Kept", "line");
    filelog::Flush();
    filelog::SetPath("");
    EXPECT_NE(readFile(path).find("Kept : line\r\n"), std::string::npos);
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace tessil
