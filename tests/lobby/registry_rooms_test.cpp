// Tests of the registry's rooms: making (normalisation, refusals, unique numbers), the
// room list byte for byte, the admission rule and the password check.
#include <gtest/gtest.h>

#include "tests/common/LobbyInvariants.h"
#include "tests/lobby/LobbyFixture.h"

namespace tessil {
namespace {

using RegistryRooms = test::LobbyFixture;

TEST_F(RegistryRooms, MakeRoomNormalisesTypeTermAndSubject) {
    struct Case {
        const char *subj, *type, *term;
        bool made;
        int rtype, rterm;
    };
    const Case cases[] = {
        {" a b ", " open ", "cont", true, 0, 0}, {"x", "Close", "", true, 1, 1},
        {"x", "OPEN", " Cont\t", true, 0, 0},    {"x", "CLOSE", "once", true, 1, 1},
        {"   ", "OPEN", "CONT", false, 0, 0},    {"x", "OPENED", "CONT", false, 0, 0},
        {"x", "", "CONT", false, 0, 0},
    };
    int i = 0;
    for (const auto& k : cases) {
        SCOPED_TRACE(i);
        auto c = Login("user" + std::to_string(i++));
        ASSERT_EQ(lobby.MakeRoom(k.subj, "", k.type, k.term, "G1", c), k.made);
        if (!k.made) {
            EXPECT_EQ(c->FRoomNo, -2);
            continue;
        }
        auto room = lobby.FindRoom(c->FRoomNo);
        ASSERT_TRUE(room);
        EXPECT_EQ(room->FRoomType, k.rtype);
        EXPECT_EQ(room->FRoomTerm, k.rterm);
        EXPECT_EQ(room->FSubject.find(' '), std::string::npos);
        EXPECT_EQ(c->FGameStat, 1);
    }
}

TEST_F(RegistryRooms, AMasterCannotMakeASecondRoomNorAnUnlistedClientAny) {
    auto c = MakeRoomFor("kim");
    c->FRoomNo = -2;
    EXPECT_FALSE(lobby.MakeRoom("s", "", "OPEN", "CONT", "G1", c));
    auto stranger = test::MakeClient("9");
    stranger->FUsrID = "nobody";
    EXPECT_FALSE(lobby.MakeRoom("s", "", "OPEN", "CONT", "G1", stranger));
    EXPECT_EQ(lobby.Check_RoomCount(), 1);
}

TEST_F(RegistryRooms, RoomListIsExactWithQuotedNumberBareFlagsAndEscapedValues) {
    FixClock(11, 22, 33, 445);
    EXPECT_EQ(lobby.GetRoomList(-1), "[]");
    auto c = Login("k\"im");
    ASSERT_TRUE(lobby.MakeRoom("my room", " pw ", "OPEN", "CONT", "G1", c));
    const std::string item =
        R"({"roomNo":"111223345","master":"k\"im","subect":"myroom","rtype":0,"rpass":1,)"
        R"("rstat":0,"player":[{"userid":"k\"im","nickname":"", "stat":1 }]})";
    EXPECT_EQ(lobby.GetRoomList(-1), "[" + item + "]");
    EXPECT_EQ(lobby.GetRoomList(111223345), "[" + item + "]");
    EXPECT_EQ(lobby.GetRoomList(0), "[]");
    EXPECT_EQ(lobby.GetRoomList(-5), "[]");
    EXPECT_EQ(lobby.FindRoom(111223345)->FPassword, "pw");
}

TEST_F(RegistryRooms, RoomNumbersStayUniqueWhenTheClockRepeats) {
    FixClock(23, 59, 59, 999);
    auto a = MakeRoomFor("a");
    auto b = MakeRoomFor("b");
    auto c = MakeRoomFor("c");
    EXPECT_EQ(a->FRoomNo, 123595999);
    EXPECT_EQ(b->FRoomNo, 123596000);
    EXPECT_EQ(c->FRoomNo, 123596001);
    EXPECT_NE(lobby.GetRoomList(b->FRoomNo).find("\"master\":\"b\""), std::string::npos);
}

TEST_F(RegistryRooms, EntryChecksNumberMasterPasswordAndCurrentRoom) {
    auto master = MakeRoomFor("kim", "OPEN", "CONT", "Pw");
    const int32_t no = master->FRoomNo;
    auto lee = Login("lee");
    EXPECT_FALSE(lobby.EnterRoom(0, "Pw", "G1", lee));
    EXPECT_FALSE(lobby.EnterRoom(-no, "Pw", "G1", lee));
    EXPECT_FALSE(lobby.EnterRoom(no + 1, "Pw", "G1", lee));
    for (const char* wrong : {"pw", "PW", "Pw ", "", " Pw"}) {
        EXPECT_FALSE(lobby.EnterRoom(no, wrong, "G1", lee)) << wrong;
    }
    master->FRoomNo = -2;  // even out of step, the master cannot enter his own room
    EXPECT_FALSE(lobby.EnterRoom(no, "Pw", "G1", master));
    master->FRoomNo = no;
    EXPECT_TRUE(lobby.EnterRoom(no, "Pw", "any game code", lee));
    EXPECT_EQ(lee->FRoomNo, no);
    EXPECT_FALSE(lobby.EnterRoom(no, "Pw", "G1", lee));

    auto open = MakeRoomFor("park");
    auto choi = Login("choi");
    EXPECT_FALSE(
        lobby.EnterRoom(open->FRoomNo, "x", "G1", choi));  // unprotected room, password given
    EXPECT_TRUE(lobby.EnterRoom(open->FRoomNo, "", "G1", choi));
}

TEST_F(RegistryRooms, AdmissionRuleOnlyClosesACloseRoomWithAGameRunning) {
    struct Case {
        const char* type;
        int roomState, memberStat;
        bool admits;
    };
    const Case cases[] = {
        {"CLOSE", 0, 3, true},  {"CLOSE", 2, 1, true}, {"CLOSE", 2, 2, false},
        {"CLOSE", 1, 4, false}, {"OPEN", 2, 3, true},
    };
    int i = 0;
    for (const auto& k : cases) {
        SCOPED_TRACE(i);
        auto master = MakeRoomFor("m" + std::to_string(i), k.type);
        auto member = Enter("p" + std::to_string(i), master->FRoomNo);
        member->FGameStat = k.memberStat;
        lobby.FindRoom(master->FRoomNo)->FRoomState = k.roomState;
        auto newcomer = Login("n" + std::to_string(i++));
        EXPECT_EQ(lobby.EnterRoom(master->FRoomNo, "", "G1", newcomer), k.admits);
    }
}

// The lookups by number and by member go through indexes kept beside the maps: every
// change of membership, master and login must keep them in step.
TEST_F(RegistryRooms, LookupsFollowEntryHandoverDeletionAndLogout) {
    FixClock(10, 0, 0, 0);  // colliding clock: numbers come from probing
    auto a = MakeRoomFor("a");
    auto b = MakeRoomFor("b", "OPEN", "ONCE");
    const int32_t na = a->FRoomNo, nb = b->FRoomNo;
    auto a2 = Enter("a2", na);
    auto a3 = Enter("a3", na);
    auto b2 = Enter("b2", nb);
    test::ExpectConsistentLobby(lobby);
    EXPECT_EQ(lobby.SearchPlayerRoom("a3")->FRoomNo, na);

    ASSERT_TRUE(lobby.ExitRoom(a, 0, "", ""));  // CONT room: handed to another member
    test::ExpectConsistentLobby(lobby);
    auto room = lobby.FindRoom(na);
    ASSERT_TRUE(room);
    EXPECT_NE(room->FMasterid, "a");
    EXPECT_FALSE(lobby.SearchPlayerRoom("a"));
    EXPECT_EQ(lobby.SearchPlayerRoom("a2"), room);

    ASSERT_TRUE(lobby.ExitRoom(b, 0, "", ""));  // ONCE room: closed with its master
    test::ExpectConsistentLobby(lobby);
    EXPECT_FALSE(lobby.FindRoom(nb));
    EXPECT_FALSE(lobby.SearchPlayerRoom("b2"));
    EXPECT_EQ(lobby.GetRoomList(nb), "[]");

    // A new room may take the freed number; the old room's members are not in it.
    auto c = MakeRoomFor("c");
    EXPECT_EQ(lobby.SearchPlayerRoom("c")->FRoomNo, c->FRoomNo);
    ASSERT_TRUE(lobby.LogoutUser("a3"));
    ASSERT_EQ(lobby.LogoutChecked("a2", nullptr, "pw"), TGameUserInfo::TLogoutResult::Done);
    test::ExpectConsistentLobby(lobby);
    EXPECT_FALSE(lobby.FindRoom(na)) << "the last member's logout closes the room";
    EXPECT_FALSE(lobby.IsListedClient(a2));
    EXPECT_EQ(lobby.GetUserByClient(c.get()), lobby.GetUser("c"));
    lobby.ClearAllData();
    test::ExpectConsistentLobby(lobby);
    EXPECT_FALSE(lobby.FindRoom(c->FRoomNo));
    EXPECT_FALSE(lobby.GetUserByClient(c.get()));
}

// A hand-over never moves a room onto the key of another room: the heir is the next
// member who masters no room, and with none the room closes instead of vanishing.
TEST_F(RegistryRooms, HandoverSkipsAMemberWhoseIdMastersAnotherRoom) {
    for (bool withOtherHeir : {true, false}) {
        SCOPED_TRACE(withOtherHeir);
        lobby.ClearAllData();
        auto a = MakeRoomFor("a");
        auto b = MakeRoomFor("b");
        auto stale = test::MakeClient("40000");  // an old connection of b's ID
        stale->FUsrID = "b";
        auto roomA = lobby.FindRoom(a->FRoomNo);
        ASSERT_EQ(lobby.AddUserToRoom(*roomA, stale), 1);
        if (withOtherHeir) Enter("c", a->FRoomNo);
        ASSERT_TRUE(lobby.ExitRoom(a, 0, "", ""));
        EXPECT_EQ(lobby.IndexMismatch(), "");
        EXPECT_EQ(lobby.FindRoom(b->FRoomNo)->FMasterid, "b");
        auto after = lobby.FindRoom(roomA->FRoomNo);
        if (withOtherHeir) {
            ASSERT_TRUE(after);
            EXPECT_EQ(after->FMasterid, "c");
        } else {
            EXPECT_FALSE(after);
            EXPECT_EQ(stale->FRoomNo, -2);
        }
    }
}

}  // namespace
}  // namespace tessil
