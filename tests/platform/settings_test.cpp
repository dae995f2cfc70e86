// The settings table and the limit-episode rule.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "platform/LimitEvents.h"
#include "platform/Settings.h"

namespace tessil {
namespace {

std::string WriteTemp(const std::string& text) {
    char name[] = "/tmp/tessil-settings-XXXXXX";
    const int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    close(fd);
    std::ofstream(name) << text;
    return name;
}

TEST(Settings, ReadsKeysCaseInsensitivelyAndFallsBackOnBadValues) {
    const std::string file = WriteTemp(
        "[Limits]\nMaxConnections = 1200\nBadNumber = 12x\nHuge = 99999999999999999999\n"
        "Name = lobby one\n");
    ASSERT_EQ(settings::Load(file), "");
    EXPECT_EQ(settings::Int("limits", "maxconnections", 7), 1200);
    EXPECT_EQ(settings::Int("Limits", "MaxConnections", 7, 0, 1000), 7);  // out of range
    EXPECT_EQ(settings::Int("Limits", "BadNumber", 7), 7);
    EXPECT_EQ(settings::Int("Limits", "Huge", 7), 7);
    EXPECT_EQ(settings::Int("Limits", "Absent", 7), 7);
    EXPECT_EQ(settings::Str("LIMITS", "name", ""), "lobby one");
    std::remove(file.c_str());
    settings::Clear();
    EXPECT_EQ(settings::Int("Limits", "MaxConnections", 7), 7);
}

TEST(Settings, MissingOrMalformedFileIsReportedAndKeepsTheTable) {
    settings::Set("Limits", "Kept", "5");
    EXPECT_NE(settings::Load("/nonexistent/tessil.ini").find("No such file"), std::string::npos);
    const std::string bad = WriteTemp("[Limits]\nthis line has no equals sign\n");
    EXPECT_NE(settings::Load(bad).find("bad line 2"), std::string::npos);
    std::remove(bad.c_str());
    EXPECT_EQ(settings::Int("Limits", "Kept", 0), 5);
    settings::Clear();
}

TEST(LimitEvents, OneEpisodePerQuietPeriodAndCountersAccumulate) {
    limits::TEpisode episode(std::chrono::milliseconds(50));
    EXPECT_TRUE(episode.Begin());
    EXPECT_FALSE(episode.Begin());
    EXPECT_FALSE(episode.Begin());
    EXPECT_EQ(episode.Suppressed(), 2u);
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    EXPECT_TRUE(episode.Begin());
    EXPECT_EQ(episode.Suppressed(), 0u);

    limits::CountRefusal("settings_test_limit");
    limits::CountRefusal("settings_test_limit", 2);
    uint64_t seen = 0;
    limits::ForEachRefusal([&](const std::string& name, uint64_t n) {
        if (name == "settings_test_limit") seen = n;
    });
    EXPECT_EQ(seen, 3u);
}

}  // namespace
}  // namespace tessil
