// Tests of the reply path: encoding, per-client order, scheduled closes that never block
// the caller, and silence once the server is inactive or detached.
#include "lobby/NetMesg.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "protocol/MsgFrame.h"
#include "protocol/TextUtils.h"
#include "tests/common/FakeTransport.h"

namespace tessil {
namespace {

using namespace std::chrono_literals;
using test::FakeTransport;
using test::MakeClient;

TEST(NetMesg, BodyIsTheUtf8TextInBase64WithLineBreaks) {
    FakeTransport svr;
    Scheduler sched;
    TNetMesg net(&svr, sched);
    auto c = MakeClient();
    const std::string text = R"({"cmd":"LOGIN","code":"E000","data":"LOGIN 성공"})";
    net.Tessil_SendString(text, c);
    auto all = svr.All();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].body, EncodeStr(text));
    EXPECT_EQ(all[0].text, text);
}

TEST(NetMesg, ASharedFrameIsTheDataFrameOfTheEncodedText) {
    // Around the 76-character line breaks (57 bytes encode to one full line) and the
    // padding: the frame encoded in place must equal the header plus EncodeStr's body.
    for (const size_t size : {0u, 1u, 2u, 56u, 57u, 58u, 114u, 115u, 300u}) {
        const std::string text(size, 'k');
        const auto frame = TNetMesg::MakeFrame(text);
        EXPECT_EQ(*frame, EncodeFrame(mtData, EncodeStr(text))) << size;
    }
}

TEST(NetMesg, RepliesToOneClientLeaveInTheOrderQueued) {
    FakeTransport svr;
    Scheduler sched;
    TNetMesg net(&svr, sched);
    auto c = MakeClient();
    auto frame = TNetMesg::MakeFrame("shared");
    for (int i = 0; i < 50; ++i) {
        net.Tessil_SendString("reply " + std::to_string(i), c);
        if (i % 10 == 0) net.SendFrame(frame, c);
    }
    std::vector<std::string> expected;
    for (int i = 0; i < 50; ++i) {
        expected.push_back("reply " + std::to_string(i));
        if (i % 10 == 0) expected.push_back("shared");
    }
    EXPECT_EQ(svr.TextsFor(c), expected);
}

TEST(NetMesg, DisconnectIsScheduledAndTheCallerDoesNotWait) {
    FakeTransport svr;
    Scheduler sched;
    TNetMesg net(&svr, sched);
    auto c = MakeClient();
    const auto t0 = std::chrono::steady_clock::now();
    net.Tessil_Disconnect_Client(c, 300);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 100ms);
    EXPECT_EQ(svr.Closes(c), 0);
    ASSERT_TRUE(svr.WaitFor([&] { return svr.Closes(c) == 1; }));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 290ms);
}

TEST(NetMesg, InactiveServerDropsSendsAndClosesSilently) {
    FakeTransport svr;
    svr.active = false;
    Scheduler sched;
    TNetMesg net(&svr, sched);
    auto c = MakeClient();
    EXPECT_FALSE(net.IsValidNet());
    net.Tessil_SendString("x", c);
    net.SendFrame(TNetMesg::MakeFrame("y"), c);
    net.Tessil_Disconnect_Client(c, 1);
    std::this_thread::sleep_for(30ms);
    EXPECT_TRUE(svr.All().empty());
    EXPECT_EQ(svr.Closes(c), 0);
}

TEST(NetMesg, ACloseStillPendingWhenTheReplyPathIsFreedNeverReachesTheServer) {
    auto svr = std::make_unique<FakeTransport>();
    Scheduler sched;
    auto c = MakeClient();
    std::weak_ptr<TClientRec> weak = c;
    {
        TNetMesg net(svr.get(), sched);
        net.Tessil_Disconnect_Client(c, 50);
    }
    // The server may be freed now; the pending close must not touch it.
    FakeTransport* raw = svr.get();
    svr.reset();
    std::this_thread::sleep_for(120ms);
    (void)raw;
    c.reset();
    EXPECT_TRUE(weak.expired());  // the entry has run and released the record
}

}  // namespace
}  // namespace tessil
