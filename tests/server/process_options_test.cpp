// The command line: accepted forms, rejected values, the panel-token rule, and the
// single-instance lock.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "server/AppOptions.h"
#include "server/InstanceLock.h"

namespace tessil {
namespace {

AppOptions Parse(std::vector<std::string> args, std::string* error = nullptr) {
    AppOptions o;
    std::string e = ParseAppOptions(args, o);
    if (error != nullptr) *error = e;
    EXPECT_TRUE(error != nullptr || e.empty()) << e;
    return o;
}

TEST(ProcessOptions, DefaultsServeThePanelOnLoopbackWithoutStarting) {
    AppOptions o = Parse({});
    EXPECT_FALSE(o.start);
    EXPECT_FALSE(o.headless);
    EXPECT_EQ(o.port, 29999);
    EXPECT_EQ(o.panelHost, "127.0.0.1");
    EXPECT_EQ(o.panelPort, 29998);
    EXPECT_EQ(o.instance, "TessilServiceApp");
    EXPECT_EQ(o.workers, DefaultWorkerCount());
    EXPECT_GE(o.workers, 1);
    EXPECT_TRUE(o.logDir.empty());
    EXPECT_TRUE(o.configFile.empty());
}

TEST(ProcessOptions, EveryOptionInBothSpellings) {
    AppOptions o =
        Parse({"--start", "--headless", "--port", "4000", "--panel=[::1]:0", "--instance", "t-1.x",
               "--log-dir=/tmp/l", "--config", "a.ini", "--workers=2"});
    EXPECT_TRUE(o.start);
    EXPECT_TRUE(o.headless);
    EXPECT_EQ(o.port, 4000);
    EXPECT_EQ(o.panelHost, "::1");
    EXPECT_EQ(o.panelPort, 0);
    EXPECT_EQ(o.instance, "t-1.x");
    EXPECT_EQ(o.logDir, "/tmp/l");
    EXPECT_EQ(o.configFile, "a.ini");
    EXPECT_EQ(o.workers, 2);
}

TEST(ProcessOptions, BadValuesAreRejectedWithAReason) {
    struct Case {
        std::vector<std::string> args;
        const char* mention;
    };
    std::vector<Case> cases = {
        {{"--port", "0"}, "--port"},
        {{"--port", "65536"}, "--port"},
        {{"--port", "12x"}, "--port"},
        {{"--port"}, "--port"},
        {{"--panel", "127.0.0.1"}, "--panel"},
        {{"--panel", "::1:80"}, "--panel"},
        {{"--panel", ":80"}, "--panel"},
        {{"--instance", "../etc"}, "--instance"},
        {{"--instance", "a/b"}, "--instance"},
        {{"--workers", "0"}, "--workers"},
        {{"--start=yes"}, "--start"},
        {{"--bogus"}, "--bogus"},
        {{"--panel", "0.0.0.0:8080"}, "--panel-token"},
        {{"--panel", "192.168.1.5:80", "--panel-token", ""}, "--panel-token"},
    };
    for (const auto& c : cases) {
        std::string error;
        Parse(c.args, &error);
        EXPECT_NE(error.find(c.mention), std::string::npos)
            << "args[0]=" << c.args[0] << " error=" << error;
    }
}

TEST(ProcessOptions, NonLoopbackPanelIsAllowedWithAToken) {
    AppOptions o = Parse({"--panel", "0.0.0.0:8080", "--panel-token", "t"});
    EXPECT_EQ(o.panelHost, "0.0.0.0");
    EXPECT_EQ(o.panelToken, "t");
    EXPECT_TRUE(IsLoopbackHost("localhost"));
    EXPECT_TRUE(IsLoopbackHost("127.8.9.1"));
    EXPECT_TRUE(IsLoopbackHost("::1"));
    EXPECT_FALSE(IsLoopbackHost("0.0.0.0"));
    EXPECT_FALSE(IsLoopbackHost("128.0.0.1"));
    // A name that starts like a loopback address is not one.
    EXPECT_FALSE(IsLoopbackHost("127.example.net"));
    EXPECT_FALSE(IsLoopbackHost("127.0.0.1.example.net"));
}

TEST(ProcessInstanceLock, SecondHolderOfTheSameNameIsRefusedUntilTheFirstGoes) {
    std::string dir = testing::TempDir();
    std::string name = "lock-test-" + std::to_string(::getpid());
    {
        InstanceLock first(name, dir);
        ASSERT_TRUE(first.Acquired()) << first.Error();
        InstanceLock second(name, dir);
        EXPECT_FALSE(second.Acquired());
        EXPECT_TRUE(second.HeldElsewhere());
        InstanceLock other(name + "-b", dir);
        EXPECT_TRUE(other.Acquired());
    }
    InstanceLock again(name, dir);
    EXPECT_TRUE(again.Acquired());
    EXPECT_EQ(again.Path(), dir + (dir.back() == '/' ? "" : "/") + name + ".lock");
    std::filesystem::remove(again.Path());
}

TEST(ProcessInstanceLock, NamesThatCouldLeaveTheDirectoryAreRefused) {
    for (const char* bad : {"", ".", "..", "a/b", "../x", "a b"}) {
        InstanceLock lock(bad, testing::TempDir());
        EXPECT_FALSE(lock.Acquired()) << bad;
        EXPECT_FALSE(lock.HeldElsewhere()) << bad;
        EXPECT_FALSE(lock.Error().empty()) << bad;
    }
}

}  // namespace
}  // namespace tessil
