// The TCP listener over real loopback sockets: accepting into registered channels, the
// switch-off that waits for its pending accept, a port in use, and address checks.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "iocpengine/DnException.h"
#include "iocpengine/DnTcpListener.h"
#include "tests/common/RawSocket.h"
#include "tests/iocpengine/support/EngineTestKit.h"

namespace tessil {
namespace {

using namespace std::chrono_literals;

class CapturingLogger : public TDnAbstractLogger {
  public:
    void LogMsg(TDnLogLevel level, std::string_view msg) override {
        if (level > MinLevel()) return;
        std::lock_guard lock(mu_);
        lines_.emplace_back(msg);
    }
    std::vector<std::string> Lines() {
        std::lock_guard lock(mu_);
        return lines_;
    }

  private:
    std::mutex mu_;
    std::vector<std::string> lines_;
};

struct ListenerFixture : ::testing::Test {
    ListenerFixture() {
        logger.SetMinLevel(llCritical);
        listener.SetReactor(&engine.reactor());
        listener.SetExecutor(&engine.executor);
        listener.SetLogger(&logger);
        listener.SetPort(0);
        listener.SetOnIncoming([this](TDnThreadContext*, TDnTcpChannel* ch) {
            std::lock_guard lock(mu);
            peers.push_back(ch->RemoteAddr() + ":" + std::to_string(ch->RemotePort()));
        });
    }
    // No accept completion runs once the switch-off has returned.
    ~ListenerFixture() override { listener.SetActive(false); }
    size_t Accepted() {
        std::lock_guard lock(mu);
        return peers.size();
    }
    bool WaitAccepted(size_t n) {
        for (int i = 0; i < 500 && Accepted() < n; ++i) std::this_thread::sleep_for(10ms);
        return Accepted() >= n;
    }

    testkit::RunningReactor engine;
    CapturingLogger logger;
    TDnTcpListener listener;
    std::mutex mu;
    std::vector<std::string> peers;
};

std::string LocalEnd(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
}

TEST_F(ListenerFixture, AcceptsEveryConnectionIntoARegisteredChannel) {
    listener.SetActive(true);
    ASSERT_TRUE(listener.Active());
    ASSERT_NE(listener.BoundPort(), 0);
    std::vector<test::RawSocket> clients(5);
    for (auto& c : clients) ASSERT_TRUE(c.Connect(listener.BoundPort()));
    ASSERT_TRUE(WaitAccepted(clients.size()));
    EXPECT_EQ(engine.reactor().GetChannelCount(), 5);
    std::lock_guard lock(mu);
    for (size_t i = 0; i < clients.size(); ++i) EXPECT_EQ(peers[i], LocalEnd(clients[i].fd()));
}

TEST_F(ListenerFixture, SwitchOffWaitsForThePendingAcceptAndCanSwitchOnAgain) {
    listener.SetActive(true);
    uint16_t first = listener.BoundPort();
    listener.SetActive(false);
    EXPECT_FALSE(listener.Active());
    EXPECT_TRUE(listener.WaitForShutdown(0));  // already complete when SetActive returned
    auto lines = logger.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("Failed to AcceptEx. Error code is ", 0), 0u) << lines[0];
    test::RawSocket refused;
    EXPECT_FALSE(refused.Connect(first));

    listener.SetActive(true);
    test::RawSocket c;
    ASSERT_TRUE(c.Connect(listener.BoundPort()));
    EXPECT_TRUE(WaitAccepted(1));
}

TEST_F(ListenerFixture, PortInUseRaisesTheSystemErrorAndLeavesNothingOpen) {
    listener.SetActive(true);
    TDnTcpListener second;
    second.SetReactor(&engine.reactor());
    second.SetExecutor(&engine.executor);
    second.SetPort(listener.BoundPort());
    int fdsBefore = test::CountOpenFds();
    try {
        second.SetActive(true);
        FAIL() << "binding a port in use must raise";
    } catch (const EDnException& e) {
        EXPECT_EQ(e.ErrorCode(), ErrWin32);
        EXPECT_EQ(e.ErrorSubCode(), EADDRINUSE);
    }
    EXPECT_FALSE(second.Active());
    EXPECT_EQ(test::CountOpenFds(), fdsBefore);
    second.SetActive(false);  // a later switch-off completes at once
}

TEST_F(ListenerFixture, FailingChannelFactoryIsLoggedAndAPlainChannelIsUsed) {
    listener.SetOnCreateChannel(
        [](TDnThreadContext*, int, const sockaddr_in&, TDnTcpReactor*, TDnTcpChannel*&) {
            throw std::runtime_error("factory failed");
        });
    listener.SetActive(true);
    test::RawSocket c;
    ASSERT_TRUE(c.Connect(listener.BoundPort()));
    ASSERT_TRUE(WaitAccepted(1));
    auto lines = logger.Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "factory failed"), lines.end());
}

TEST(Listener, OnlyDottedIpv4AddressesAreKept) {
    TDnTcpListener l;
    EXPECT_EQ(l.Address(), "0.0.0.0");
    EXPECT_EQ(l.Port(), 7080);
    EXPECT_EQ(l.BackLog(), 5);
    l.SetAddress("localhost");
    EXPECT_EQ(l.Address(), "0.0.0.0");
    l.SetAddress("127.0.0.1");
    EXPECT_EQ(l.Address(), "127.0.0.1");
    l.SetAddress("300.1.1.1");
    EXPECT_EQ(l.Address(), "127.0.0.1");
}

}  // namespace
}  // namespace tessil
