// Tests of a room's own member operations: who may be added, the removal notice sent
// unencoded to the remaining members, and silence without a message server.
#include "lobby/RoomObject.h"

#include <gtest/gtest.h>

#include "tests/common/FakeTransport.h"

namespace tessil {
namespace {

using test::FakeTransport;
using test::MakeClient;

TEST(RoomObject, MembersAreAddedOnceAndOnlyWithAnAddressAndPort) {
    TRoomObject room(nullptr, "kim", "", "G1", "s");
    auto kim = MakeClient("1");
    kim->FUsrID = "kim";
    auto noPort = MakeClient("");
    noPort->FUsrID = "lee";
    EXPECT_EQ(room.Room_AddUserInfo(kim), 1);
    EXPECT_EQ(room.Room_AddUserInfo(kim), 1);
    EXPECT_EQ(room.Room_AddUserInfo(noPort), 0);
    EXPECT_EQ(room.Room_AddUserInfo(nullptr), 0);
    EXPECT_EQ(room.FUserList.size(), 1u);
    EXPECT_EQ(room.Room_FindUserInfo(*kim), 1);
    EXPECT_EQ(room.Room_FindUserInfo("lee"), 0);
}

TEST(RoomObject, RemovalSendsItsRawNoticeToTheRemainingMembers) {
    FakeTransport svr;
    TRoomObject room(&svr, "kim", "", "G1", "s");
    auto kim = MakeClient("1");
    kim->FUsrID = "kim";
    auto lee = MakeClient("2");
    lee->FUsrID = "lee";
    room.Room_AddUserInfo(kim);
    room.Room_AddUserInfo(lee);
    EXPECT_EQ(room.Room_DeleteUserInfo("lee"), 1);
    EXPECT_EQ(room.Room_DeleteUserInfo("nobody"), 1);
    auto all = svr.All();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].client, kim);
    EXPECT_EQ(all[0].body, R"({"CMD":"USROUT", "CODE":"E000", "data":"lee"})");
    EXPECT_EQ(all[1].body, R"({"CMD":"USROUT", "CODE":"E000", "data":"nobody"})");

    TRoomObject detached(nullptr, "park", "", "G1", "s");
    detached.Room_AddUserInfo(kim);
    detached.Room_Broadcast("x");  // no server: nothing to send, nothing to crash
    EXPECT_EQ(svr.All().size(), 2u);
}

}  // namespace
}  // namespace tessil
