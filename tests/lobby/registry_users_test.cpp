// Tests of the registry's users: list payloads byte for byte (with escaping), users of
// a closing connection, duplicate IDs, the disconnect path's ownership check, clearing.
#include <gtest/gtest.h>

#include <chrono>

#include "tests/lobby/LobbyFixture.h"

namespace tessil {
namespace {

using namespace std::chrono_literals;
using RegistryUsers = test::LobbyFixture;

TEST_F(RegistryUsers, ListPayloadsAreExactAndEscapeTheirValues) {
    EXPECT_EQ(lobby.GetAllUserList(), "[]");
    EXPECT_EQ(lobby.FindUserID("kim"), "[]");
    auto c = Login("kim", "pw", "G\"1");
    EXPECT_EQ(lobby.GetAllUserList(),
              R"([{"userid":"kim", "nickname":"", "gcode":"G\"1", "roomno":"-2", "stat":0}])");
    EXPECT_EQ(lobby.FindUserID("kim"), R"([{"userid":"kim", "nickname":"", "gcode":"G\"1"}])");
    Login("a\\b\n");
    EXPECT_EQ(lobby.FindUserID("a\\b\n"), R"([{"userid":"a\\b\n", "nickname":"", "gcode":"G1"}])");
    EXPECT_EQ(lobby.FindUserID("KIM"), "[]");  // IDs compare byte for byte
}

TEST_F(RegistryUsers, AUserWhoseConnectionIsClosingIsListedNoLongerButStillExists) {
    auto c = Login("kim");
    c->FShutdown = true;
    EXPECT_EQ(lobby.GetAllUserList(), "[]");
    EXPECT_TRUE(lobby.IsExistsUser("kim"));
    EXPECT_EQ(lobby.UserCount(), 1);
}

TEST_F(RegistryUsers, ADuplicateIdIsRefusedAndTheListedUserKept) {
    auto first = Login("kim");
    auto second = test::MakeClient("1");
    EXPECT_FALSE(lobby.AddNewUser(second, "kim", "other", "", "G2", "", "", ""));
    EXPECT_EQ(lobby.GetUser("kim")->Client(), first);
    EXPECT_TRUE(second->FUsrID.empty());  // the refused login wrote nothing
    auto third = test::MakeClient("2");
    EXPECT_FALSE(
        lobby.AddUser(std::make_shared<TUserObject>("kim", "", "", "", "", "", "", 0, third)));
    EXPECT_EQ(lobby.GetUser("kim")->Client(), first);
    EXPECT_TRUE(lobby.AddNewUser(test::MakeClient("3"), "Kim", "", "", "", "", "", ""));
    EXPECT_EQ(lobby.UserCount(), 2);
}

TEST_F(RegistryUsers, LogoutLeavesTheRoomAndResetsTheRecord) {
    auto master = MakeRoomFor("kim");
    auto member = Enter("lee", master->FRoomNo);
    EXPECT_TRUE(lobby.LogoutUser("lee"));
    EXPECT_FALSE(lobby.IsExistsUser("lee"));
    EXPECT_EQ(member->FRoomNo, -2);
    EXPECT_EQ(member->FGameStat, 0);
    EXPECT_EQ(svr.TextsFor(master).back(),
              R"({"cmd":"USROUT","code":"E000","data":"플레이어 퇴실: lee"})");
    EXPECT_FALSE(lobby.LogoutUser("lee"));
}

TEST_F(RegistryUsers, TheDisconnectPathOnlyLogsOutTheUserOfThatConnection) {
    auto old = Login("kim");
    ASSERT_TRUE(lobby.LogoutUser("kim"));
    // The same user logs in again on a new connection before the old one has closed.
    auto fresh = test::MakeClient("2");
    ASSERT_TRUE(lobby.AddNewUser(fresh, "kim", "pw", "", "G1", "", "", ""));
    ASSERT_TRUE(lobby.MakeRoom("s", "", "OPEN", "CONT", "G1", fresh));
    EXPECT_FALSE(lobby.LogoutClient(old));
    EXPECT_FALSE(lobby.ExitRoom(old, 0, "", ""));
    EXPECT_EQ(lobby.GetUser("kim")->Client(), fresh);
    EXPECT_EQ(lobby.RoomCount(), 1);
    EXPECT_TRUE(lobby.LogoutClient(fresh));
    EXPECT_EQ(lobby.UserCount(), 0);
    EXPECT_EQ(lobby.RoomCount(), 0);
}

TEST_F(RegistryUsers, ClearAllDataEmptiesEverythingAndSchedulesTheClosesWithoutWaiting) {
    std::vector<TClientRecPtr> clients;
    for (int i = 0; i < 40; ++i) clients.push_back(Login("u" + std::to_string(i)));
    MakeRoomFor("master");
    const auto t0 = std::chrono::steady_clock::now();
    lobby.ClearAllData();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 90ms);
    EXPECT_EQ(lobby.UserCount(), 0);
    EXPECT_EQ(lobby.RoomCount(), 0);
    EXPECT_TRUE(svr.WaitFor([&] {
        for (auto& c : clients)
            if (svr.Closes(c) != 1) return false;
        return true;
    }));
    EXPECT_EQ(clients[0]->FRoomNo, -2);
}

}  // namespace
}  // namespace tessil
