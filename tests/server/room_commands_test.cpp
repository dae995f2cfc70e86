// Tests of the room commands through intake: MAKEROOM, ROOMLIST, ENTERROOM with the
// announcement of the newcomer, EXITROOM; every reply byte for byte.
#include <gtest/gtest.h>

#include "tests/server/ServerFixture.h"

namespace tessil {
namespace {

using RoomCommands = test::ServerFixture;
using test::Texts;

TEST_F(RoomCommands, MakeRoomRepliesAndRefusals) {
    SetUniqueKeyClock([] { return TTimeOfDay{9, 5, 7, 1234}; });
    auto c = Login("kim");
    Send(c, R"({"cmd":"MAKEROOM","pass":"","subject":"s","roomtype":"OPEN","roomterm":"CONT"})");
    Send(c, R"({"cmd":"MAKEROOM","pass":"","subject":"s","roomtype":"OPEN","roomterm":"CONT",)"
            R"("gamecode":""})");
    Send(c, R"({"cmd":"MAKEROOM","pass":"","subject":"s","roomtype":"SHUT","roomterm":"CONT",)"
            R"("gamecode":"G1"})");
    Send(c, R"({"cmd":"makeroom","pass":"","subject":"s","roomtype":"OPEN","roomterm":"CONT",)"
            R"("gamecode":"G1"})");
    Send(c, R"({"cmd":"MAKEROOM","pass":"","subject":"s","roomtype":"OPEN","roomterm":"CONT",)"
            R"("gamecode":"G1"})");
    SetUniqueKeyClock(nullptr);
    EXPECT_EQ(After(c, 1), (Texts{Msg("MAKEROOM", "E019", "방생성에 따른 명령어 문법오류 (JSON)"),
                                  Msg("MAKEROOM", "E017", "방생성에 따른 정보가 부족합니다"),
                                  Msg("MAKEROOM", "E018", "신규방 생성실패"),
                                  Msg("makeroom", "E000", "109050734"),
                                  Msg("MAKEROOM", "R001", "방에 이미 입장한 상태입니다")}));
    Send(c, R"({"cmd":"ROOMLIST","roomNo":"109050734"})");
    EXPECT_EQ(svr.TextsFor(c).back(),
              R"({"cmd":"ROOMLIST","code":"E000","data":[{"roomNo":"109050734","master":"kim",)"
              R"("subect":"s","rtype":0,"rpass":0,"rstat":0,"player":[{"userid":"kim",)"
              R"("nickname":"", "stat":1 }]}]})");
}

TEST_F(RoomCommands, RoomListNeedsAnIntegerRoomNumber) {
    auto c = Login("kim");
    Send(c, R"({"cmd":"ROOMLIST"})");
    Send(c, R"({"cmd":"ROOMLIST","roomNo":"1x"})");
    Send(c, R"({"cmd":"ROOMLIST","roomNo":-1})");
    EXPECT_EQ(After(c, 1), (Texts{Msg("ROOMLIST", "E015", "명령어 문법오류 (JSON)"),
                                  Msg("ROOMLIST", "E015", "명령어 문법오류 (JSON)"),
                                  R"({"cmd":"ROOMLIST","code":"E000","data":[]})"}));
}

TEST_F(RoomCommands, EnteringAnnouncesTheNewcomerToTheOthersOnly) {
    auto kim = Master("kim");
    const int32_t no = kim->FRoomNo;
    auto lee = Member("lee", no);
    auto park = Member("park", no);
    const std::string leeIn = Msg("USRIN", "E000", "플레이어입장:lee");
    const std::string parkIn = Msg("USRIN", "E000", "플레이어입장:park");
    EXPECT_EQ(After(kim, 2), (Texts{leeIn, parkIn}));
    EXPECT_EQ(After(lee, 1), (Texts{Msg("ENTERROOM", "E000", "방입장 성공"), parkIn}));
    EXPECT_EQ(After(park, 1), Texts{Msg("ENTERROOM", "E000", "방입장 성공")});
    EXPECT_EQ(lee->FGameStat, 1);
}

TEST_F(RoomCommands, EnterRefusals) {
    auto kim = Master("kim", "OPEN", "CONT", "Pw");
    const std::string no = std::to_string(kim->FRoomNo);
    auto lee = Login("lee");
    Send(lee, R"({"cmd":"ENTERROOM","roomNo":)" + no + R"(,"pass":"Pw"})");
    Send(lee, R"({"cmd":"ENTERROOM","roomNo":)" + no + R"(,"pass":"pw","gamecode":"G1"})");
    Send(kim, R"({"cmd":"ENTERROOM","roomNo":)" + no + R"(,"pass":"Pw","gamecode":"G1"})");
    EXPECT_EQ(After(lee, 1), (Texts{Msg("ENTERROOM", "E015", "방입장 정보오류(JSON)"),
                                    Msg("ENTERROOM", "E020", "방입장 오류")}));
    EXPECT_EQ(After(kim, 2), Texts{Msg("ENTERROOM", "E023", "이미 게임방 입장 상태")});

    // A record out of step with the lobby is put back and may enter again.
    lee->FRoomNo = 123;
    Send(lee, R"({"cmd":"ENTERROOM","roomNo":)" + no + R"(,"pass":"Pw","gamecode":"G1"})");
    EXPECT_EQ(svr.TextsFor(lee).back(), Msg("ENTERROOM", "E020", "재로그인 하십시요"));
    EXPECT_EQ(lee->FRoomNo, -2);
    Send(lee, R"({"cmd":"ENTERROOM","roomNo":)" + no + R"(,"pass":"Pw","gamecode":"G1"})");
    EXPECT_EQ(svr.TextsFor(lee).back(), Msg("ENTERROOM", "E000", "방입장 성공"));
}

TEST_F(RoomCommands, ExitRoomRepliesAndTheLeaversOwnNotice) {
    auto kim = Master("kim", "OPEN", "CONT", "Pw");
    const std::string no = std::to_string(kim->FRoomNo);
    auto lee = Member("lee", kim->FRoomNo, "Pw");
    ASSERT_EQ(After(kim, 2).size(), 1u);  // USRIN
    Send(lee, R"({"cmd":"EXITROOM","roomNo":)" + no + R"(,"pass":"Pw"})");
    Send(lee, R"({"cmd":"EXITROOM","roomNo":)" + no + R"(,"pass":"pw","gamecode":"G1"})");
    Send(lee, R"({"cmd":"EXITROOM","roomNo":-1,"pass":"Pw","gamecode":"G1"})");
    Send(lee, R"({"cmd":"EXITROOM","roomNo":0,"pass":"","gamecode":""})");
    const std::string out = Msg("USROUT", "E000", "플레이어 퇴실: lee");
    EXPECT_EQ(After(lee, 2),
              (Texts{Msg("EXITROOM", "E015", "방탈퇴 정보오류(JSON)"),
                     Msg("EXITROOM", "E021", "방탈퇴 처리오류(방번호, 비번, 게임코드 확인)"),
                     Msg("EXITROOM", "E021", "방탈퇴 처리오류(방번호 확인바람)"), out,
                     Msg("EXITROOM", "E000", "방탈퇴 성공")}));
    EXPECT_EQ(After(kim, 3), Texts{out});
    EXPECT_EQ(lee->FRoomNo, -2);
    EXPECT_EQ(lee->FGameStat, 0);
}

}  // namespace
}  // namespace tessil
