// The command handler: LOGIN, LOGOUT, LOGOUTREQ, the disconnect clean-up, forwarding.
// Request workers, the disconnect event, the window thread; no lock of its own.
#include "server/CmdLineObject.h"

#include "protocol/ClientProtocol.h"
#include "server/DataMod.h"

namespace tessil {

TCmdLineObject::TCmdLineObject(IMsgTransport* svr, const TDataMod* dataMod)
    : FSvrNet(svr), FGameInfo(std::make_unique<TGameUserInfo>()), dataMod_(dataMod) {}

TCmdLineObject::~TCmdLineObject() {
    FGameInfo->ClearAllData();
}

void TCmdLineObject::SetNetMesg(std::shared_ptr<TNetMesg> netMesg) {
    FGameInfo->SetNetMesg(std::move(netMesg));
}

void TCmdLineObject::Reply(std::string_view text, const TClientRecPtr& client) const {
    if (auto net = NetMesg()) net->Tessil_SendString(text, client);
}

void TCmdLineObject::ReplyList(std::string_view text, const TClientRecPtr& client) const {
    if (auto net = NetMesg()) {
        net->Tessil_SendString(text, client);
        net->ChargeReply(client, text.size());
    }
}

void TCmdLineObject::Disconnect(const TClientRecPtr& client, int32_t pause) const {
    if (auto net = NetMesg()) net->Tessil_Disconnect_Client(client, pause);
}

bool TCmdLineObject::Tessil_IsRegisteredUser(std::string_view, std::string_view) const {
    return true;
}

bool TCmdLineObject::Tessil_IsExistsUser(std::string_view usrid) const {
    return FGameInfo->IsExistsUser(usrid);
}

std::shared_ptr<TRoomObject> TCmdLineObject::Tessil_SearchPlayer(std::string_view usrid) const {
    return FGameInfo->SearchPlayerRoom(usrid);
}

bool TCmdLineObject::Tessil_Process_Login(const TClientRecPtr& client, const TJsonValue& request) {
    std::string usrid, pass, gcode;
    if (!ReadField(request, "usrid", TField::UserId, limits_, usrid) ||
        !ReadField(request, "pass", TField::Password, limits_, pass) ||
        !ReadField(request, "gcode", TField::GameCode, limits_, gcode)) {
        Reply(MakeMsgForClient("LOGIN", code::E015, text::LoginFormat), client);
        return false;
    }
    if (!Process_Login(client, usrid, pass, gcode)) return false;
    client->FGameStat = 0;
    return true;
}

bool TCmdLineObject::Process_Login(const TClientRecPtr& client, std::string_view usrid,
                                   std::string_view pass, std::string_view gcode) {
    // One login per connection: a second one would list another user over the same
    // record, whose identity the second login overwrites.
    if (client->FLoginState == 1) {
        Reply(MakeMsgForClient("LOGIN", code::E013, text::AlreadyLoggedIn), client);
        return false;
    }
    if (!Tessil_IsRegisteredUser(usrid, pass)) {
        Reply(MakeMsgForClient("LOGIN", code::E012, text::LoginIdPassError), client);
        return false;
    }
    if (FGameInfo->IsExistsUser(usrid)) {
        Reply(MakeMsgForClient("LOGIN", code::E013, text::AlreadyLoggedIn), client);
        return false;
    }
    std::string name, info, tagId;
    if (dataMod_ != nullptr) dataMod_->DB_GetUserInfo(usrid, name, info, tagId);
    if (FGameInfo->AddNewUser(client, usrid, pass, tagId, gcode, name, "", info)) {
        client->FLoginState = 1;
        client->FRoomNo = -2;
        Reply(MakeMsgForClient("LOGIN", code::E000, text::LoginOk), client);
        return true;
    }
    client->FLoginState = 0;
    client->FRoomNo = -2;
    Reply(MakeMsgForClient("LOGIN", code::E014, text::LoginAddFailed), client);
    return false;
}

std::optional<TCmdLineObject::TLogoutRequest> TCmdLineObject::Tessil_ReadLogout(
    const TClientRecPtr& client, const TJsonValue& request, bool force) {
    TLogoutRequest r;
    const bool read = ReadField(request, "usrid", TField::UserId, limits_, r.usrid) &&
                      ReadField(request, "pass", TField::Password, limits_, r.pass);
    const bool registered = read && Tessil_IsRegisteredUser(r.usrid, r.pass);
    // The forced form answers a bad request as a LOGIN does.
    if (!read || (force && !registered)) {
        Reply(MakeMsgForClient(force ? "LOGIN" : "LOGOUT", code::E011, text::RequestInfoError),
              client);
        return std::nullopt;
    }
    if (!registered) {
        Reply(MakeMsgForClient("LOGOUT", code::E012, text::LoginIdPassError), client);
        return std::nullopt;
    }
    // A connection that has guessed wrong too often is being closed; it gets nothing more.
    if (logoutGuard_.ConnectionSpent(*client)) return std::nullopt;
    return r;
}

TGameUserInfo::TLogoutResult TCmdLineObject::Tessil_DecideLogout(std::string_view usrid,
                                                                 const TClientRec* requester,
                                                                 std::string_view pass) {
    // Another connection's user: only its own password may end its session, and a user ID
    // under attack is locked for a while, whatever the password.
    const bool locked = logoutGuard_.IsLocked(usrid);
    const auto verdict = FGameInfo->LogoutChecked(usrid, requester, pass, !locked);
    if (verdict == TGameUserInfo::TLogoutResult::Refused) logoutGuard_.FailedUser(usrid);
    return verdict;
}

void TCmdLineObject::Tessil_AnswerLogout(const TClientRecPtr& client,
                                         TGameUserInfo::TLogoutResult verdict) {
    switch (verdict) {
        case TGameUserInfo::TLogoutResult::Done:
            Reply(kLogoutOkMsg, client);
            Disconnect(client, 500);
            break;
        case TGameUserInfo::TLogoutResult::Refused:
            Reply(MakeMsgForClient("LOGOUT", code::E012, text::LoginIdPassError), client);
            if (logoutGuard_.FailedConnection(*client)) Disconnect(client, 500);
            break;
        case TGameUserInfo::TLogoutResult::NotListed:
            Reply(MakeMsgForClient("LOGOUT", code::E013, text::NotLoggedInUser), client);
            break;
    }
}

void TCmdLineObject::Tessil_Process_Logout(const TClientRecPtr& client, const TJsonValue& request,
                                           bool force) {
    const auto r = Tessil_ReadLogout(client, request, force);
    if (r) Tessil_AnswerLogout(client, Tessil_DecideLogout(r->usrid, client.get(), r->pass));
}

void TCmdLineObject::Tessil_CheckLogout(const TClientRecPtr& client) {
    if (client) FGameInfo->LogoutClient(client);
}

std::string TCmdLineObject::Tessil_GetAllUserList() const {
    return FGameInfo->GetAllUserList();
}

std::string TCmdLineObject::Tessil_FindUserID(std::string_view usrid) const {
    return FGameInfo->FindUserID(usrid);
}

std::string TCmdLineObject::Tessil_GetRoomList(int32_t roomNo) {
    return FGameInfo->GetRoomList(roomNo);
}

bool TCmdLineObject::Tessil_MakeRoom(std::string_view subject, std::string_view pass,
                                     std::string_view roomtype, std::string_view roomterm,
                                     std::string_view gamecode, const TClientRecPtr& client) {
    return FGameInfo->MakeRoom(subject, pass, roomtype, roomterm, gamecode, client);
}

bool TCmdLineObject::Tessil_EnterRoom(int32_t roomNo, std::string_view pass,
                                      std::string_view gamecode, const TClientRecPtr& client,
                                      std::string_view welcome) {
    return FGameInfo->EnterRoom(roomNo, pass, gamecode, client, welcome);
}

bool TCmdLineObject::Tessil_ExitRoom(const TClientRecPtr& client, int32_t roomNo,
                                     std::string_view pass, std::string_view gamecode) {
    return FGameInfo->ExitRoom(client, roomNo, pass, gamecode);
}

bool TCmdLineObject::Tessil_ExitRoom(const TClientRecPtr& client) {
    return FGameInfo->ExitRoom(client, 0, "", "");
}

bool TCmdLineObject::Tessil_BroadcastMsgToRoom(std::string_view cmd, int32_t roomNo,
                                               std::string_view msg, const TClientRecPtr& client) {
    return FGameInfo->BroadcastMsgToRoom(cmd, roomNo, msg, client);
}

bool TCmdLineObject::Tessil_BroadcastStatMsgToRoom(std::string_view cmd, std::string_view msg,
                                                   const TClientRecPtr& client, int32_t mode) {
    return FGameInfo->BroadcastStatMsgToRoom(cmd, msg, client, mode);
}

bool TCmdLineObject::Tessil_ResetRoom(std::string_view cmd, std::string_view msg,
                                      const TClientRecPtr& client, int32_t /*mode*/) {
    return FGameInfo->ResetRoom(cmd, msg, client);
}

bool TCmdLineObject::Tessil_CheckEndGame(std::string_view cmd, std::string_view msg,
                                         const TClientRecPtr& client) {
    return FGameInfo->CheckEndGame(cmd, msg, client);
}

bool TCmdLineObject::Tessil_SendMesgToUser(std::string_view cmd, std::string_view usrid,
                                           std::string_view msg, const TClientRecPtr& client) {
    return FGameInfo->SendMesgToUser(cmd, usrid, msg, client);
}

bool TCmdLineObject::Tessil_ChangeRoomStat(const TClientRecPtr& client, int32_t state) {
    return FGameInfo->ChangeRoomStat(client, state);
}

int32_t TCmdLineObject::Tessil_Check_RoomCount() const {
    return FGameInfo->Check_RoomCount();
}

int32_t TCmdLineObject::Tessil_Check_ClientConnection() const {
    IMsgTransport* svr = FSvrNet;
    return svr != nullptr && svr->IsActive() ? svr->GetClientCount() : 0;
}

}  // namespace tessil
