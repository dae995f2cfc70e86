// Request intake's bounds: over-long and badly encoded members get their command's format
// error, the JSON depth limit, the command word's own bound, and the password-guessing
// defence of LOGOUT (per connection, per target ID, never against a user's own logout).
#include <gtest/gtest.h>

#include "server/LogoutGuard.h"
#include "tests/server/ServerFixture.h"

namespace tessil {
namespace {

using Limits = test::ServerFixture;
using test::Texts;

// The text of a JSON string member whose value is `n` copies of 'x'.
std::string Xs(size_t n) {
    return std::string(n, 'x');
}

TEST_F(Limits, AMemberOneByteOverItsBoundGetsTheCommandsFormatError) {
    const TIntakeLimits& l = cmd.Limits();
    auto member = Login("member");
    Send(member, R"({"cmd":"MAKEROOM","pass":"","subject":"s","roomtype":"OPEN",)"
                 R"("roomterm":"CONT","gamecode":"G1"})");
    const std::string room = std::to_string(member->FRoomNo);
    struct Case {
        std::string request;
        std::string reply;
    } cases[] = {
        {R"({"cmd":"FINDUSER","usrid":")" + Xs(l.userIdMax + 1) + R"("})",
         Msg("FINDUSER", "E015", "명령어 문법오류 (JSON)")},
        {R"({"cmd":"USRMSG","usrid":"member","mesg":")" + Xs(l.chatTextMax + 1) + R"("})",
         Msg("USRMSG", "E015", "요청형식오류(JSON)")},
        {R"({"cmd":"USRMSGALL","roomNo":)" + room + R"(,"mesg":")" + Xs(l.chatTextMax + 1) +
             R"("})",
         Msg("USRMSGALL", "E015", "요청형식오류(JSON)")},
        {R"({"cmd":"USRDEF","roomNo":)" + room + R"(,"mesg":")" + Xs(l.chatTextMax + 1) + R"("})",
         Msg("USRDEF", "E015", "3.요청형식오류(JSON)")},
        {R"({"cmd":"MAKEROOM","pass":"","subject":")" + Xs(l.subjectMax + 1) +
             R"(","roomtype":"OPEN","roomterm":"CONT","gamecode":"G1"})",
         Msg("MAKEROOM", "E019", "방생성에 따른 명령어 문법오류 (JSON)")},
        {R"({"cmd":"MAKEROOM","pass":"","subject":"s","roomtype":"OPEN","roomterm":")" +
             Xs(l.roomWordMax + 1) + R"(","gamecode":"G1"})",
         Msg("MAKEROOM", "E019", "방생성에 따른 명령어 문법오류 (JSON)")},
        {R"({"cmd":"MAKEROOM","pass":"","subject":"s","roomtype":"OPEN","roomterm":"CONT",)"
         R"("gamecode":")" +
             Xs(l.gameCodeMax + 1) + R"("})",
         Msg("MAKEROOM", "E019", "방생성에 따른 명령어 문법오류 (JSON)")},
        {R"({"cmd":"ENTERROOM","roomNo":1,"pass":")" + Xs(l.passwordMax + 1) +
             R"(","gamecode":"G1"})",
         Msg("ENTERROOM", "E015", "방입장 정보오류(JSON)")},
        {R"({"cmd":"EXITROOM","roomNo":1,"pass":"","gamecode":")" + Xs(l.gameCodeMax + 1) + R"("})",
         Msg("EXITROOM", "E015", "방탈퇴 정보오류(JSON)")},
        {R"({"cmd":"REQSTART","roomNo":1,"pass":")" + Xs(l.passwordMax + 1) +
             R"(","gamecode":"G1"})",
         Msg("REQSTART", "E015", "게임시작 정보오류(JSON)")},
        {R"({"cmd":"LOGOUT","usrid":")" + Xs(l.userIdMax + 1) + R"(","pass":"p"})",
         Msg("LOGOUT", "E011", "요청정보오류")},
        {R"({"cmd":"LOGOUTREQ","usrid":"u","pass":")" + Xs(l.passwordMax + 1) + R"("})",
         Msg("LOGIN", "E011", "요청정보오류")},
        {R"({"cmd":")" + Xs(l.commandMax + 1) + R"("})",
         Msg("SYNTAX", "E015", "요청메시지 명령 오류(JSON/CMD)")},
    };
    auto c = Login("asker");
    for (const auto& k : cases) {
        const size_t before = svr.TextsFor(c).size();
        Send(c, k.request);
        EXPECT_EQ(After(c, before), Texts{k.reply}) << k.request.substr(0, 60);
    }
    EXPECT_EQ(svr.Closes(c), 0);
    EXPECT_EQ(svr.TextsFor(member).size(), 2u);  // LOGIN and MAKEROOM: nothing delivered
}

TEST_F(Limits, LoginWithAnOverLongOrBadIdIsRefusedAndClosed) {
    const TIntakeLimits& l = cmd.Limits();
    const std::string atLimit = Xs(l.userIdMax);
    const std::string ids[] = {Xs(l.userIdMax + 1), R"(\udc00)",  R"(a\u0000b)", R"(a\u001b[2J)",
                               R"(a\u007f)",        R"(a\u0085)", R"(a\tb)"};
    for (const auto& id : ids) {
        auto c = Connect();
        Send(c, R"({"cmd":"LOGIN","usrid":")" + id + R"(","pass":"p","gcode":"g"})");
        EXPECT_EQ(svr.TextsFor(c), Texts{Msg("LOGIN", "E015", "요청 형식오류(JSON)")}) << id;
        EXPECT_EQ(c->FLoginState, 0) << id;
    }
    // At the bound, and any printable Unicode (a pair of surrogates is one character).
    Login(atLimit);
    Login(R"(김철수\ud83d\ude00)");
    EXPECT_EQ(cmd.GameInfo().UserCount(), 2);
}

TEST_F(Limits, ChatTextsAndSubjectsKeepTabAndLineFeedOnly) {
    auto master = Master("m");
    auto other = Member("o", master->FRoomNo);
    const std::string room = std::to_string(master->FRoomNo);
    const size_t before = svr.TextsFor(other).size();
    Send(master, R"({"cmd":"USRMSGALL","roomNo":)" + room + R"(,"mesg":"a\tb\nc"})");
    Send(master, R"({"cmd":"USRMSGALL","roomNo":)" + room + R"(,"mesg":"a\rb"})");
    Send(master, R"({"cmd":"USRMSGALL","roomNo":)" + room + R"(,"mesg":"a\udc00"})");
    EXPECT_EQ(After(other, before), Texts{Msg("USRMSGALL", "E000", "a\tb\nc")});
    auto masterReplies = svr.TextsFor(master);
    ASSERT_GE(masterReplies.size(), 2u);
    EXPECT_EQ(masterReplies.back(), Msg("USRMSGALL", "E015", "요청형식오류(JSON)"));

    auto maker = Login("maker");
    Send(maker, R"({"cmd":"MAKEROOM","pass":"","subject":"line\nbreak","roomtype":"OPEN",)"
                R"("roomterm":"CONT","gamecode":"G1"})");
    EXPECT_GT(maker->FRoomNo, 0);
}

TEST_F(Limits, NestingPastTheDepthLimitIsRefusedBeforeParsing) {
    const size_t depth = cmd.Limits().jsonDepthMax;
    auto c = Login("kim");
    const size_t before = svr.TextsFor(c).size();
    // depth levels in all: the object and depth - 1 arrays; brackets inside strings are text.
    const std::string inner = std::string(depth - 1, '[') + std::string(depth - 1, ']');
    Send(c, R"({"cmd":"NOSUCH","x":)" + inner + R"(,"s":"[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[["})");
    Send(c, R"({"cmd":"NOSUCH","x":[)" + inner + "]}");
    Send(c, std::string(1'000'000, '['));
    const std::string syntax = Msg("SYNTAX", "E015", "요청메시지 문법 오류(JSON)");
    EXPECT_EQ(After(c, before), (Texts{syntax, syntax}));  // the first is an unknown word
}

TEST_F(Limits, GuessingAnotherUsersPasswordClosesTheConnectionAndLocksTheId) {
    auto victim = Login("victim", "s3cret");
    const std::string wrong = R"({"cmd":"LOGOUT","usrid":"victim","pass":"guess"})";
    const std::string right = R"({"cmd":"LOGOUT","usrid":"victim","pass":"s3cret"})";
    const std::string refused = Msg("LOGOUT", "E012", "로그인 ID,PASS 오류");

    // Three wrong guesses on one connection close it; a fourth is neither compared nor
    // answered.
    auto a = Connect();
    for (int i = 0; i < 3; ++i) Send(a, wrong);
    Send(a, right);
    EXPECT_TRUE(svr.WaitFor([&] { return svr.Closes(a) == 1; }));
    EXPECT_EQ(svr.TextsFor(a), Texts(3, refused));
    EXPECT_TRUE(cmd.Tessil_IsExistsUser("victim"));

    // Two more from another connection lock the ID: now even the right password fails.
    auto b = Connect();
    Send(b, wrong);
    Send(b, wrong);
    Send(b, right);
    EXPECT_EQ(svr.TextsFor(b), Texts(3, refused));
    EXPECT_TRUE(cmd.Tessil_IsExistsUser("victim"));

    // The user's own connection still logs itself out.
    Send(victim, R"({"cmd":"LOGOUT","usrid":"victim","pass":"anything"})");
    EXPECT_EQ(svr.TextsFor(victim).back(), std::string(kLogoutOkMsg));
    EXPECT_FALSE(cmd.Tessil_IsExistsUser("victim"));
}

TEST(LogoutGuard, LocksAfterTheThresholdDoublingUpToTheMaximumAndForgetsQuietTargets) {
    using namespace std::chrono;
    TLogoutGuard::TSettings s;
    s.perConnection = 1000;
    s.perUser = 3;
    s.lock = milliseconds(100);
    s.lockMax = milliseconds(1000);
    TLogoutGuard guard(s);
    TClientRec rec;
    const auto t0 = TLogoutGuard::Clock::time_point{} + hours(1);
    guard.Failed(rec, "u", t0);
    guard.Failed(rec, "u", t0);
    EXPECT_FALSE(guard.IsLocked("u", t0));
    guard.Failed(rec, "u", t0);  // third: 100 ms
    EXPECT_TRUE(guard.IsLocked("u", t0 + milliseconds(99)));
    EXPECT_FALSE(guard.IsLocked("u", t0 + milliseconds(100)));
    guard.Failed(rec, "u", t0 + milliseconds(100));  // fourth: 200 ms
    EXPECT_TRUE(guard.IsLocked("u", t0 + milliseconds(299)));
    EXPECT_FALSE(guard.IsLocked("u", t0 + milliseconds(300)));
    for (int i = 0; i < 10; ++i) guard.Failed(rec, "u", t0 + milliseconds(300));
    EXPECT_TRUE(guard.IsLocked("u", t0 + milliseconds(1299)));  // capped at 1000 ms
    EXPECT_FALSE(guard.IsLocked("u", t0 + milliseconds(1300)));
    EXPECT_FALSE(guard.IsLocked("other", t0));
    // Quiet for lockMax after the lock ran out: the next failure counts from one again.
    guard.Failed(rec, "u", t0 + milliseconds(2300));
    EXPECT_FALSE(guard.IsLocked("u", t0 + milliseconds(2300)));
}

}  // namespace
}  // namespace tessil
