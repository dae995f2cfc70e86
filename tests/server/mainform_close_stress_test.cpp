// The close sequence against connection events that are still running: the lobby is
// released only after every event inside it has returned, events arriving later skip it,
// and a close under live traffic finishes cleanly (run under ASan and TSan).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "iocpengine/CommonMsgServer.h"
#include "platform/AppLog.h"
#include "server/AppLobby.h"
#include "server/ControlLoop.h"
#include "server/MainForm.h"
#include "tests/server/support/AppTestClient.h"

namespace tessil {
namespace {

using namespace std::chrono_literals;
using apptest::AppTestClient;

// A lobby whose request handler can be held inside until the test lets it go, and
// which notes any call that reaches it after its destruction began.
struct Probe {
    std::mutex mu;
    std::condition_variable cv;
    bool inside = false;
    bool release = false;
    bool destroyed = false;
    bool destroyedWhileInside = false;
    std::atomic<int> callsAfterDestroy{0};
};

class HoldingLobby final : public IAppLobby {
  public:
    explicit HoldingLobby(std::shared_ptr<Probe> p) : p_(std::move(p)) {}
    ~HoldingLobby() override {
        std::lock_guard lock(p_->mu);
        p_->destroyed = true;
        p_->destroyedWhileInside = p_->inside;
        p_->cv.notify_all();
    }
    std::shared_ptr<void> AttachServer(TCommonMsgServer* s) override {
        server_ = s;
        return nullptr;
    }
    void DetachServer() override { server_ = nullptr; }
    void DataReceived(const TClientRecPtr&, std::string_view) override {
        std::unique_lock lock(p_->mu);
        Check();
        p_->inside = true;
        p_->cv.notify_all();
        p_->cv.wait(lock, [&] { return p_->release; });
        p_->inside = false;
    }
    void ClientDisconnected(const TClientRecPtr&) override {
        std::lock_guard lock(p_->mu);
        Check();
    }
    void SendAuthOk(const TClientRecPtr&) override {
        std::lock_guard lock(p_->mu);
        Check();
    }
    int32_t ClientConnections() override {
        TCommonMsgServer* s = server_;
        return s ? s->GetClientCount() : 0;
    }
    int32_t RoomCount() override { return 0; }
    int32_t UserCount() override { return 0; }
    int64_t ProcessCount() override { return 0; }

  private:
    void Check() {
        if (p_->destroyed) ++p_->callsAfterDestroy;
    }
    std::shared_ptr<Probe> p_;
    std::atomic<TCommonMsgServer*> server_{nullptr};
};

TMainFormOptions TestOptions() {
    TMainFormOptions o;
    o.port = 0;
    o.workers = 2;
    return o;
}

TEST(MainFormClose, LobbyOutlivesTheRequestHandlerThatIsInsideIt) {
    auto probe = std::make_shared<Probe>();
    ControlLoop loop;
    loop.StartThread();
    auto form =
        std::make_unique<TMainForm>(loop, std::make_shared<HoldingLobby>(probe), TestOptions());
    uint16_t port = 0;
    ASSERT_TRUE(loop.Call(
        [&] {
            form->StartBtnClick();
            port = form->ListenPort();
        },
        10s));
    AppTestClient client;
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(client.Request(R"({"cmd":"USRLIST"})"));
    {
        std::unique_lock lock(probe->mu);
        ASSERT_TRUE(probe->cv.wait_for(lock, 5s, [&] { return probe->inside; }));
    }

    std::atomic<bool> closed{false};
    loop.Post([&] {
        form->FormClose();
        closed = true;
    });
    // The close waits at the gate; the lobby must still be alive.
    std::this_thread::sleep_for(300ms);
    {
        std::lock_guard lock(probe->mu);
        EXPECT_FALSE(probe->destroyed);
        probe->release = true;
        probe->cv.notify_all();
    }
    {
        std::unique_lock lock(probe->mu);
        ASSERT_TRUE(probe->cv.wait_for(lock, 5s, [&] { return probe->destroyed; }));
        EXPECT_FALSE(probe->destroyedWhileInside);
    }
    // Events after the gate shut (this client's disconnect, a new handshake) skip the
    // lobby while the server is still up during the close's pause.
    client.Close();
    AppTestClient late;
    if (late.Connect(port)) late.Handshake();
    for (int i = 0; i < 400 && !closed; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(closed);
    EXPECT_EQ(probe->callsAfterDestroy, 0);
    EXPECT_TRUE(form->View().closed);
    loop.Quit();
    loop.Join();
    form.reset();
}

TEST(MainFormClose, CloseUnderLiveTrafficWithTheRealLobby) {
    windowlog::Clear();
    ControlLoop loop;
    loop.StartThread();
    auto form = std::make_unique<TMainForm>(loop, MakeAppLobby(""), TestOptions());
    uint16_t port = 0;
    ASSERT_TRUE(loop.Call(
        [&] {
            form->StartBtnClick();
            port = form->ListenPort();
        },
        10s));

    // Clients log in, make rooms, list and leave, reconnecting, until the close ends.
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    for (int t = 0; t < 6; ++t) {
        clients.emplace_back([&, t] {
            for (int round = 0; !stop && round < 1000; ++round) {
                AppTestClient c;
                if (!c.Connect(port)) break;
                c.Handshake();
                std::string id = "u" + std::to_string(t) + "_" + std::to_string(round);
                c.Request(R"({"cmd":"LOGIN","usrid":")" + id + R"(","pass":"p","gcode":"G"})");
                c.Request(
                    R"({"cmd":"MAKEROOM","pass":"p","subject":"s","roomtype":"1","roomterm":"1","gamecode":"G"})");
                c.Request(R"({"cmd":"USRLIST"})");
                c.NextText(20ms);
                // Half the connections stay open a little, so the close meets both.
                if (round % 2 == 1) std::this_thread::sleep_for(5ms);
            }
        });
    }
    std::this_thread::sleep_for(300ms);
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(loop.Call([&] { form->FormClose(); }, 30s));
    auto took = std::chrono::steady_clock::now() - t0;
    stop = true;
    for (auto& c : clients) c.join();

    EXPECT_TRUE(form->View().closed);
    EXPECT_LT(took, 15s);
    auto lines = windowlog::Snapshot();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "App Close");
    loop.Quit();
    loop.Join();
    form.reset();
}

}  // namespace
}  // namespace tessil
