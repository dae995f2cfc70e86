// Tests of the events a room sends: leaving (hand-over or deletion), chat to the others,
// state notices with the start notice, reset and end of game. Exact texts, recipients,
// and one shared frame per fan-out.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "tests/lobby/LobbyFixture.h"

namespace tessil {
namespace {

using RoomEvents = test::LobbyFixture;
using Texts = std::vector<std::string>;

const std::string kUsrOutLee = R"({"cmd":"USROUT","code":"E000","data":"플레이어 퇴실: lee"})";
const std::string kUsrOutKim = R"({"cmd":"USROUT","code":"E000","data":"플레이어 퇴실: kim"})";
const std::string kDelRoom = R"({"cmd":"DELROOM","code":"E000","data":"개설방 폐쇄"})";

TEST_F(RoomEvents, AMemberLeavingIsAnnouncedToEveryoneIncludingHimself) {
    auto kim = MakeRoomFor("kim");
    auto lee = Enter("lee", kim->FRoomNo);
    EXPECT_FALSE(lobby.ExitRoom(lee, kim->FRoomNo, "", "G2"));  // game code differs
    EXPECT_FALSE(lobby.ExitRoom(lee, kim->FRoomNo + 1, "", "G1"));
    EXPECT_TRUE(svr.All().empty());
    EXPECT_TRUE(lobby.ExitRoom(lee, kim->FRoomNo, "", "G1"));
    EXPECT_EQ(svr.TextsFor(kim), Texts{kUsrOutLee});
    EXPECT_EQ(svr.TextsFor(lee), Texts{kUsrOutLee});
    EXPECT_EQ(lee->FRoomNo, -2);
    EXPECT_EQ(lee->FGameStat, 0);
}

TEST_F(RoomEvents, MasterLeavingAContRoomHandsItOver) {
    auto kim = MakeRoomFor("kim", "OPEN", "CONT");
    const int32_t no = kim->FRoomNo;
    auto lee = Enter("lee", no);
    ASSERT_TRUE(lobby.ExitRoom(kim, 0, "", ""));
    EXPECT_EQ(svr.TextsFor(lee),
              (Texts{R"({"cmd":"CHGMAS","code":"E000","data":"방장 변경됨: lee"})", kUsrOutKim}));
    EXPECT_EQ(svr.TextsFor(kim), Texts{kUsrOutKim});
    auto room = lobby.FindRoom(no);
    ASSERT_TRUE(room);
    EXPECT_EQ(room->FMasterid, "lee");
    EXPECT_EQ(lobby.SearchPlayerRoom("lee"), room);
    EXPECT_NE(lobby.GetRoomList(no).find(R"("master":"lee")"), std::string::npos);
    // The new master's key works: leaving again deletes the room (he is alone).
    ASSERT_TRUE(lobby.ExitRoom(lee, 0, "", ""));
    EXPECT_EQ(lobby.RoomCount(), 0);
}

TEST_F(RoomEvents, MasterLeavingOtherwiseDeletesTheRoomAndResetsEveryMember) {
    auto kim = MakeRoomFor("kim", "OPEN", "ONCE");
    auto lee = Enter("lee", kim->FRoomNo);
    auto park = Enter("park", kim->FRoomNo);
    park->FGameStat = 3;
    ASSERT_TRUE(lobby.ExitRoom(kim, 0, "", ""));
    for (const auto& c : {kim, lee, park}) {
        EXPECT_EQ(svr.TextsFor(c), Texts{kDelRoom});
        EXPECT_EQ(c->FRoomNo, -2);
        EXPECT_EQ(c->FGameStat, 0);
    }
    EXPECT_EQ(lobby.RoomCount(), 0);
    std::set<const std::string*> frames;
    for (const auto& s : svr.All()) frames.insert(s.frame);
    EXPECT_EQ(frames.size(), 1u);  // DELROOM built and encoded once
}

TEST_F(RoomEvents, ChatReachesTheOtherMembersOnceWithBlanksRemoved) {
    auto kim = MakeRoomFor("kim");
    auto lee = Enter("lee", kim->FRoomNo);
    auto park = Enter("park", kim->FRoomNo);
    auto outsider = Login("choi");
    ASSERT_TRUE(lobby.BroadcastMsgToRoom("usrmsgall", 1, " say \"hi\" ", kim));
    const std::string chat = R"({"cmd":"usrmsgall","code":"E000","data":"say\"hi\""})";
    EXPECT_EQ(svr.TextsFor(lee), Texts{chat});
    EXPECT_EQ(svr.TextsFor(park), Texts{chat});
    EXPECT_TRUE(svr.TextsFor(kim).empty());
    auto all = svr.All();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].frame, all[1].frame);

    svr.Clear();
    EXPECT_FALSE(lobby.BroadcastMsgToRoom("USRMSGALL", 1, "   ", kim));
    EXPECT_FALSE(lobby.BroadcastMsgToRoom("USRMSGALL", 0, "x", kim));
    EXPECT_TRUE(svr.All().empty());
    EXPECT_FALSE(lobby.BroadcastMsgToRoom("USRMSGALL", 5, "x", outsider));
    EXPECT_EQ(svr.TextsFor(outsider),
              Texts{R"({"cmd":"USRMSGALL","code":"E024","data":"방원만 발송가능합니다"})"});
}

// Holds the first frame sent after Hold() until Release(): a room fan-out stopped half-way.
class HoldingTransport : public test::FakeTransport {
  public:
    void SendFrame(const std::shared_ptr<const std::string>& frame,
                   const TClientRecPtr& client) override {
        std::unique_lock<std::mutex> lock(mu_);
        if (armed_) {
            armed_ = false;
            held_ = client;
            cv_.notify_all();
            cv_.wait(lock, [&] { return released_; });
        }
        lock.unlock();
        FakeTransport::SendFrame(frame, client);
    }
    void Hold() {
        std::lock_guard<std::mutex> lock(mu_);
        armed_ = true;
    }
    TClientRecPtr WaitHeld() {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [&] { return held_ != nullptr; });
        return held_;
    }
    void Release() {
        std::lock_guard<std::mutex> lock(mu_);
        released_ = true;
        cv_.notify_all();
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool armed_ = false;
    bool released_ = false;
    TClientRecPtr held_;
};

using RoomOrder = test::LobbyFixtureOn<HoldingTransport>;

TEST_F(RoomOrder, AMemberLeavingDuringAChatFanOutGetsTheChatBeforeHisOwnLeaveNotice) {
    auto kim = MakeRoomFor("kim");
    auto lee = Enter("lee", kim->FRoomNo);
    auto park = Enter("park", kim->FRoomNo);
    svr.Clear();
    svr.Hold();
    std::thread chat([&] { lobby.BroadcastMsgToRoom("USRMSGALL", 1, "first", kim); });
    const TClientRecPtr leaver = svr.WaitHeld();  // the fan-out stopped at this member
    std::mutex mu;
    std::condition_variable cv;
    bool left = false;
    std::thread leave([&] {
        lobby.ExitRoom(leaver, 0, "", "");
        std::lock_guard<std::mutex> lock(mu);
        left = true;
        cv.notify_all();
    });
    {
        // Without the room's order the member would leave now, under the fan-out.
        std::unique_lock<std::mutex> lock(mu);
        EXPECT_FALSE(cv.wait_for(lock, std::chrono::milliseconds(200), [&] { return left; }));
    }
    svr.Release();
    chat.join();
    leave.join();
    const std::string first = R"({"cmd":"USRMSGALL","code":"E000","data":"first"})";
    const std::string out =
        R"({"cmd":"USROUT","code":"E000","data":"플레이어 퇴실: )" + leaver->FUsrID + "\"}";
    EXPECT_EQ(svr.TextsFor(lee), (Texts{first, out}));
    EXPECT_EQ(svr.TextsFor(park), (Texts{first, out}));
    EXPECT_EQ(svr.TextsFor(kim), Texts{out});
}

TEST_F(RoomEvents, StartNoticeFollowsTheReportThatMakesEveryMemberOfTwoOrMoreReady) {
    auto solo = MakeRoomFor("solo");
    solo->FGameStat = 2;
    ASSERT_TRUE(lobby.BroadcastStatMsgToRoom("READYOK", "solo", solo, 1));
    EXPECT_EQ(svr.TextsFor(solo), Texts{R"({"cmd":"READYOK","code":"E000","data":"solo"})"});

    auto kim = MakeRoomFor("kim");
    auto lee = Enter("lee", kim->FRoomNo);
    const std::string kimReady = R"({"cmd":"READYOK","code":"E000","data":"kim"})";
    const std::string leeReady = R"({"cmd":"READYOK","code":"E000","data":"lee"})";
    const std::string start = R"({"cmd":"STARTOK","code":"E000","data":"게임시작"})";
    kim->FGameStat = 2;
    ASSERT_TRUE(lobby.BroadcastStatMsgToRoom("READYOK", "kim", kim, 1));
    lee->FGameStat = 2;
    ASSERT_TRUE(lobby.BroadcastStatMsgToRoom("READYOK", "lee", lee, 1));
    EXPECT_EQ(svr.TextsFor(kim), (Texts{kimReady, leeReady, start}));
    EXPECT_EQ(svr.TextsFor(lee), (Texts{kimReady, leeReady, start}));
}

TEST_F(RoomEvents, MasterOnlyOperationsRefuseOtherMembers) {
    auto kim = MakeRoomFor("kim", "CLOSE");
    auto lee = Enter("lee", kim->FRoomNo);
    EXPECT_FALSE(lobby.ChangeRoomStat(lee, 2));
    EXPECT_FALSE(lobby.BroadcastStatMsgToRoom("REQSTART", "x", lee, 0));
    EXPECT_FALSE(lobby.ResetRoom("REQRESET", "lee", lee));
    EXPECT_FALSE(lobby.CheckEndGame("ENDOK", "lee", lee));
    EXPECT_TRUE(svr.All().empty());
    EXPECT_EQ(lobby.FindRoom(kim->FRoomNo)->FRoomState, 0);

    ASSERT_TRUE(lobby.ChangeRoomStat(kim, 2));
    lee->FGameStat = 3;
    EXPECT_FALSE(lobby.EnterRoom(kim->FRoomNo, "", "G1", Login("park")));
    ASSERT_TRUE(lobby.ResetRoom("REQRESET", "kim", kim));
    const std::string reset =
        R"({"cmd":"RESETGAME","code":"E000","data":"방 플레이 정보를 초기화 하였습니다"})";
    EXPECT_EQ(svr.TextsFor(lee), Texts{reset});
    EXPECT_EQ(svr.TextsFor(kim), Texts{reset});
    EXPECT_EQ(lee->FGameStat, 1);
    EXPECT_EQ(lobby.FindRoom(kim->FRoomNo)->FRoomState, 0);
    EXPECT_TRUE(lobby.EnterRoom(kim->FRoomNo, "", "G1", Login("choi")));

    ASSERT_TRUE(lobby.CheckEndGame("ENDOK", "kim", kim));
    EXPECT_EQ(svr.TextsFor(kim).back(),
              R"({"cmd":"ENDGAME","code":"E000","data":"모든 플레이어가 게임을 종료하였습니다"})");
}

TEST_F(RoomEvents, AMessageToOneUserFindsExactlyThatId) {
    auto kim = Login("kim");
    auto lee = Login("lee");
    EXPECT_FALSE(lobby.SendMesgToUser("USRMSG", "KIM", "hi", lee));
    EXPECT_FALSE(lobby.SendMesgToUser("USRMSG", "kim", "  ", lee));
    EXPECT_TRUE(lobby.SendMesgToUser("USRMSG", " kim", "h i", lee));
    EXPECT_EQ(svr.TextsFor(kim), Texts{R"({"cmd":"USRMSG","code":"E000","data":"hi"})"});
    EXPECT_TRUE(svr.TextsFor(lee).empty());
}

}  // namespace
}  // namespace tessil
