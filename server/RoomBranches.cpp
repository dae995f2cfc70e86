// Request intake's room branches: ROOMLIST, MAKEROOM, ENTERROOM (with the announcement
// of the newcomer) and EXITROOM. Run on the message server's worker threads.
#include <string>

#include "protocol/ClientProtocol.h"
#include "server/CmdLineObject.h"
#include "server/RequestIntake.h"

namespace tessil {

void RequestIntake::doRoomList(const Request& r) {
    int32_t roomNo = 0;
    if (!GetJosnValue_Int(&r.json, "roomNo", roomNo)) {
        reply(r, code::E015, text::CommandFormat);
        return;
    }
    cmd_.ReplyList(MakeArrayMsgForClient(r.cmd, code::E000, cmd_.Tessil_GetRoomList(roomNo)),
                   r.client);
}

void RequestIntake::doMakeRoom(const Request& r) {
    if (r.client->FRoomNo != -2) {
        reply(r, code::R001, text::AlreadyEnteredRoom);
        return;
    }
    std::string pass, subject, roomtype, roomterm, gamecode;
    if (!field(r, "pass", TField::Password, pass) ||
        !field(r, "subject", TField::Subject, subject) ||
        !field(r, "roomtype", TField::RoomWord, roomtype) ||
        !field(r, "roomterm", TField::RoomWord, roomterm) ||
        !field(r, "gamecode", TField::GameCode, gamecode)) {
        reply(r, code::E019, text::MakeRoomFormat);
        return;
    }
    if (subject.empty() || gamecode.empty()) {
        reply(r, code::E017, text::MakeRoomInfoMissing);
        return;
    }
    if (cmd_.Tessil_MakeRoom(subject, pass, roomtype, roomterm, gamecode, r.client)) {
        reply(r, code::E000, IntToAnsiStr(r.client->FRoomNo));
    } else {
        reply(r, code::E018, text::MakeRoomFailed);
    }
}

void RequestIntake::doEnterRoom(const Request& r) {
    int32_t roomNo = 0;
    std::string pass, gamecode;
    if (!GetJosnValue_Int(&r.json, "roomNo", roomNo) || !field(r, "pass", TField::Password, pass) ||
        !field(r, "gamecode", TField::GameCode, gamecode)) {
        reply(r, code::E015, text::EnterRoomFormat);
        return;
    }
    if (r.client->FRoomNo <= 0) {
        // The answer goes out with the seat: a notice to the room (another entrant's USRIN,
        // a chat) that follows the seat cannot reach this client before it.
        if (cmd_.Tessil_EnterRoom(roomNo, pass, gamecode, r.client,
                                  MakeMsgForClient(r.cmd, code::E000, text::EnterRoomOk))) {
            r.client->FGameStat = 1;
            announceEntry(r.client, roomNo);
        } else {
            reply(r, code::E020, text::EnterRoomFailed);
        }
        return;
    }
    if (cmd_.Tessil_SearchPlayer(r.client->FUsrID)) {
        reply(r, code::E023, text::AlreadyInRoom);
    } else {
        // The record claims a room that no room lists: put it back in step.
        r.client->FRoomNo = -2;
        reply(r, code::E020, text::ReLogin);
    }
}

void RequestIntake::announceEntry(const TClientRecPtr& client, int32_t roomNo) {
    // Queued right after the entrant's reply and before the handler returns, so the other
    // members learn of the newcomer before anything the newcomer sends next. Queuing
    // never blocks, so the handler does not wait on the members' connections.
    cmd_.Tessil_BroadcastMsgToRoom("USRIN", roomNo,
                                   std::string(text::UserInPrefix) + client->FUsrID, client);
}

void RequestIntake::doExitRoom(const Request& r) {
    int32_t roomNo = 0;
    std::string pass, gamecode;
    if (!GetJosnValue_Int(&r.json, "roomNo", roomNo) || !field(r, "pass", TField::Password, pass) ||
        !field(r, "gamecode", TField::GameCode, gamecode)) {
        reply(r, code::E015, text::ExitRoomFormat);
        return;
    }
    if (cmd_.Tessil_ExitRoom(r.client, roomNo, pass, gamecode)) {
        r.client->FGameStat = 0;
        reply(r, code::E000, text::ExitRoomOk);
    } else {
        reply(r, code::E021, roomNo > 0 ? text::ExitRoomFailed : text::ExitRoomNoFailed);
    }
}

}  // namespace tessil
