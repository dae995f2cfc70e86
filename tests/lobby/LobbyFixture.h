// A registry wired to a capturing transport (or one derived from it), with helpers to log users in
// and make rooms. Shared by the lobby tests; test thread only (plus the scheduler thread).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "lobby/GameUserInfo.h"
#include "lobby/NetMesg.h"
#include "tests/common/FakeTransport.h"

namespace tessil::test {

template <typename Transport>
class LobbyFixtureOn : public ::testing::Test {
  protected:
    LobbyFixtureOn() : net(std::make_shared<TNetMesg>(&svr, sched)) { lobby.SetNetMesg(net); }
    ~LobbyFixtureOn() override { SetUniqueKeyClock(nullptr); }

    TClientRecPtr Login(const std::string& id, const std::string& pass = "pw",
                        const std::string& gcode = "G1") {
        auto c = MakeClient(std::to_string(50000 + ++ports));
        EXPECT_TRUE(lobby.AddNewUser(c, id, pass, "", gcode, "", "", ""));
        c->FLoginState = 1;
        return c;
    }
    TClientRecPtr MakeRoomFor(const std::string& id, const std::string& type = "OPEN",
                              const std::string& term = "CONT", const std::string& pass = "") {
        auto c = Login(id);
        EXPECT_TRUE(lobby.MakeRoom("subject", pass, type, term, "G1", c));
        return c;
    }
    TClientRecPtr Enter(const std::string& id, int32_t roomNo, const std::string& pass = "") {
        auto c = Login(id);
        EXPECT_TRUE(lobby.EnterRoom(roomNo, pass, "G1", c));
        c->FGameStat = 1;
        return c;
    }
    void FixClock(int h, int m, int s, int ms) {
        SetUniqueKeyClock([=] { return TTimeOfDay{h, m, s, ms}; });
    }

    Transport svr;
    Scheduler sched;
    std::shared_ptr<TNetMesg> net;
    TGameUserInfo lobby;
    int ports = 0;
};

using LobbyFixture = LobbyFixtureOn<FakeTransport>;

}  // namespace tessil::test
