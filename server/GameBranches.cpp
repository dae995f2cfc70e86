// Request intake's chat and game-state branches (USRMSGALL, USRDEF, USRMSG, REQ..., the
// member reports). Run on the message server's worker threads.
#include <string>

#include "protocol/ClientProtocol.h"
#include "server/CmdLineObject.h"
#include "server/RequestIntake.h"

namespace tessil {

void RequestIntake::doRoomChat(const Request& r, int32_t command) {
    const bool def = command == cmdUsrDef;
    int32_t roomNo = 0;
    std::string mesg;
    if (!GetJosnValue_Int(&r.json, "roomNo", roomNo) || !field(r, "mesg", TField::ChatText, mesg)) {
        reply(r, code::E015, def ? text::DefMsgFormat : text::MsgFormat);
        return;
    }
    if (cmd_.Tessil_BroadcastMsgToRoom(r.cmd, roomNo, mesg, r.client)) {
        reply(r, code::E000, def ? text::DefMsgSent : text::MsgSent);
    } else {
        reply(r, code::E020, def ? text::DefMsgNotSent : text::MsgNotSent);
    }
}

void RequestIntake::doUserMsg(const Request& r) {
    std::string usrid, mesg;
    if (!field(r, "usrid", TField::UserId, usrid) || !field(r, "mesg", TField::ChatText, mesg)) {
        reply(r, code::E015, text::MsgFormat);
        return;
    }
    if (cmd_.Tessil_SendMesgToUser(r.cmd, usrid, mesg, r.client)) {
        reply(r, code::E000, text::MsgSent);
    } else {
        reply(r, code::E020, text::MsgNotSent);
    }
}

void RequestIntake::doMasterRequest(const Request& r, int32_t command) {
    struct Kind {
        int32_t roomState;
        std::string_view notice, refused, format;
    };
    const Kind kind =
        command == cmdReqRdy
            ? Kind{1, text::ReqRdyNotice, text::ReqRdyFailed, text::GameStartFormat}
        : command == cmdReqStart
            ? Kind{2, text::ReqStartNotice, text::ReqStartFailed, text::GameStartFormat}
            : Kind{3, text::ReqStopNotice, text::ReqStopFailed, text::GameStopFormat};
    int32_t roomNo = 0;
    std::string pass, gamecode;
    if (!GetJosnValue_Int(&r.json, "roomNo", roomNo) || !field(r, "pass", TField::Password, pass) ||
        !field(r, "gamecode", TField::GameCode, gamecode)) {
        reply(r, code::E015, kind.format);
        return;
    }
    if (r.client->FRoomNo <= 0) {
        reply(r, code::E025, text::NotInRoomRequest);
        return;
    }
    if (!cmd_.Tessil_ChangeRoomStat(r.client, kind.roomState)) {
        reply(r, code::E014, kind.refused);
        return;
    }
    // On success the master, as a member, receives the notice itself; no reply.
    if (!cmd_.Tessil_BroadcastStatMsgToRoom(r.cmd, kind.notice, r.client, 0)) {
        reply(r, code::E020, text::MsgNotSent);
    }
}

void RequestIntake::doMemberReport(const Request& r, int32_t command) {
    if (r.client->FRoomNo <= 0) {
        reply(r, code::E025, text::NotInRoomReport);
        return;
    }
    std::string_view word;
    int32_t gameStat;
    switch (command) {
        case cmdReadyOk:
            word = "READYOK", gameStat = 2;
            break;
        case cmdStartOk:
            word = "STARTOK", gameStat = 3;
            break;
        case cmdStopOk:
            word = "STOPOK", gameStat = 4;
            break;
        default:
            word = "ENDOK", gameStat = 4;
            break;
    }
    bool sent;
    {
        // Two members who report at once must not both see everybody ready: the state
        // change and the notice that counts the ready members happen under one lock hold.
        auto guard = cmd_.GameInfo().Guard();
        r.client->FGameStat = gameStat;
        sent = cmd_.Tessil_BroadcastStatMsgToRoom(word, r.client->FUsrID, r.client, 1);
    }
    if (!sent) {
        reply(r, code::E026, text::MsgSendError);
        return;
    }
    if (command == cmdEndOk) cmd_.Tessil_CheckEndGame("ENDOK", r.client->FUsrID, r.client);
}

void RequestIntake::doResetRequest(const Request& r) {
    if (r.client->FRoomNo <= 0) {
        reply(r, code::E025, text::NotInRoomReport);
        return;
    }
    if (!cmd_.Tessil_ResetRoom(r.cmd, r.client->FUsrID, r.client, 0)) {
        reply(r, code::E026, text::MsgSendError);
    }
}

}  // namespace tessil
