// The JSON client protocol: command table, reply envelopes and every reply code and
// text. Used by request handling, the lobby and the client library.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tessil {

// Command numbers (CommandType). 0: not a command word.
enum TCommand : int32_t {
    cmdNone = 0,
    cmdLogin = 1,
    cmdLogout = 2,
    cmdUsrList = 3,
    cmdRoomList = 4,
    cmdFindUser = 5,
    cmdMakeRoom = 7,
    cmdExitRoom = 8,
    cmdEnterRoom = 9,
    cmdUsrMsgAll = 10,
    cmdUsrMsg = 11,
    cmdLogoutReq = 12,
    cmdUsrDef = 13,
    cmdReqStart = 30,
    cmdReqStop = 31,
    cmdReqRdy = 32,
    cmdReqReset = 34,
    cmdReadyOk = 50,
    cmdStartOk = 51,
    cmdStopOk = 52,
    cmdEndOk = 53,
};

// One command of the table: its word, number, the members it reads ("name:kind" separated
// by blanks; kinds are text, integer or the allowed values) and a one-line summary.
struct TCommandInfo {
    std::string_view word;
    TCommand number;
    std::string_view fields;
    std::string_view summary;
};

// Upper-cases a..z, strips bytes <= 0x20 at both ends, matches the table exactly.
int32_t CommandType(std::string_view word);
// The command table in matching order; the same table CommandType reads.
std::span<const TCommandInfo> CommandTable();

// {"cmd":"<cmd>","code":"<code>","data":"<data>"} with every value JSON-escaped.
std::string MakeMsgForClient(std::string_view cmd, std::string_view code, std::string_view data);
// {"cmd":"<cmd>","code":"<code>","data":<data>}; cmd and code escaped, data is raw JSON.
std::string MakeArrayMsgForClient(std::string_view cmd, std::string_view code,
                                  std::string_view data);

// Fixed texts sent exactly as they stand.
inline constexpr std::string_view kAuthOkMsg = R"({"cmd":"AUTHOK", "code":"E000", "data":"[]"})";
inline constexpr std::string_view kLogoutOkMsg = R"({"CMD":"LOGOUT", "CODE":"E000", "DATA":[]})";

// Codes.
namespace code {
inline constexpr std::string_view E000 = "E000", E002 = "E002", E011 = "E011", E012 = "E012",
                                  E013 = "E013", E014 = "E014", E015 = "E015", E016 = "E016",
                                  E017 = "E017", E018 = "E018", E019 = "E019", E020 = "E020",
                                  E021 = "E021", E023 = "E023", E024 = "E024", E025 = "E025",
                                  E026 = "E026", R001 = "R001";
}  // namespace code

// Reply texts (UTF-8), named after what they answer.
namespace text {
inline constexpr std::string_view LoginOk = "LOGIN 성공";
inline constexpr std::string_view EnterRoomOk = "방입장 성공";
inline constexpr std::string_view ExitRoomOk = "방탈퇴 성공";
inline constexpr std::string_view MsgSent = "메시지 발송완료";
inline constexpr std::string_view DefMsgSent = "1.메시지 발송완료";
inline constexpr std::string_view UndefinedRequest = "정의되지 않은 요청입니다(JSON)";
inline constexpr std::string_view RequestInfoError = "요청정보오류";
inline constexpr std::string_view LoginIdPassError = "로그인 ID,PASS 오류";
inline constexpr std::string_view UnregisteredUser = "등록되지 않은 사용자입니다";
inline constexpr std::string_view AlreadyLoggedIn = "이미 접속중인 사용자";
inline constexpr std::string_view NotLoggedInUser = "접속중이지 않습니다";
inline constexpr std::string_view LoginAddFailed = "처리실패, 다시 시도하시기 바랍니다";
inline constexpr std::string_view ReqRdyFailed = "게임준비처리오류, 다시 시도해 주시시 바랍니다";
inline constexpr std::string_view ReqStartFailed =
    "게임시작요청 알림처리오류, 다시 시도해 주시시 바랍니다";
inline constexpr std::string_view ReqStopFailed = "게임중지처리오류, 다시 시도해 주시시 바랍니다";
inline constexpr std::string_view SyntaxJson = "요청메시지 문법 오류(JSON)";
inline constexpr std::string_view SyntaxCmd = "요청메시지 명령 오류(JSON/CMD)";
inline constexpr std::string_view LoginFormat = "요청 형식오류(JSON)";
inline constexpr std::string_view CommandFormat = "명령어 문법오류 (JSON)";
inline constexpr std::string_view EnterRoomFormat = "방입장 정보오류(JSON)";
inline constexpr std::string_view ExitRoomFormat = "방탈퇴 정보오류(JSON)";
inline constexpr std::string_view MsgFormat = "요청형식오류(JSON)";
inline constexpr std::string_view DefMsgFormat = "3.요청형식오류(JSON)";
inline constexpr std::string_view GameStartFormat = "게임시작 정보오류(JSON)";
inline constexpr std::string_view GameStopFormat = "게임중지 정보오류(JSON)";
inline constexpr std::string_view NotLoggedIn = "로그인 상태가 아닙니다";
inline constexpr std::string_view MakeRoomInfoMissing = "방생성에 따른 정보가 부족합니다";
inline constexpr std::string_view MakeRoomFailed = "신규방 생성실패";
inline constexpr std::string_view MakeRoomFormat = "방생성에 따른 명령어 문법오류 (JSON)";
inline constexpr std::string_view EnterRoomFailed = "방입장 오류";
inline constexpr std::string_view ReLogin = "재로그인 하십시요";
inline constexpr std::string_view MsgNotSent = "메시지 전송 불가";
inline constexpr std::string_view DefMsgNotSent = "2.메시지 전송 불가";
inline constexpr std::string_view ExitRoomNoFailed = "방탈퇴 처리오류(방번호 확인바람)";
inline constexpr std::string_view ExitRoomFailed = "방탈퇴 처리오류(방번호, 비번, 게임코드 확인)";
inline constexpr std::string_view AlreadyInRoom = "이미 게임방 입장 상태";
inline constexpr std::string_view MembersOnly = "방원만 발송가능합니다";
inline constexpr std::string_view NotInRoomReport = "게임방에 참여하고 있지 않습니다";
inline constexpr std::string_view NotInRoomRequest = "게임방에 참여하지 않았습니다";
inline constexpr std::string_view MsgSendError = "메시지 전송 오류";
inline constexpr std::string_view AlreadyEnteredRoom = "방에 이미 입장한 상태입니다";
// Events.
inline constexpr std::string_view UserInPrefix = "플레이어 입장:";
inline constexpr std::string_view UserOutPrefix = "플레이어 퇴실: ";
inline constexpr std::string_view MasterChangedPrefix = "방장 변경됨: ";
inline constexpr std::string_view RoomClosed = "개설방 폐쇄";
inline constexpr std::string_view GameStart = "게임시작";
inline constexpr std::string_view ResetGame = "방 플레이 정보를 초기화 하였습니다";
inline constexpr std::string_view EndGame = "모든 플레이어가 게임을 종료하였습니다";
inline constexpr std::string_view ReqRdyNotice = "게임시작 준비요청";
inline constexpr std::string_view ReqStartNotice = "게임시작요청";
inline constexpr std::string_view ReqStopNotice = "게임중지요청";
}  // namespace text

}  // namespace tessil
