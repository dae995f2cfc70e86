// TCmdLineObject, the command handler: login commands, disconnect clean-up, Tessil_ ops over
// the registry it owns. Owned by the window; request workers, disconnect event, window.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "iocpengine/ClientRec.h"
#include "iocpengine/MsgTransport.h"
#include "lobby/GameUserInfo.h"
#include "lobby/NetMesg.h"
#include "protocol/TextUtils.h"
#include "server/LogoutGuard.h"
#include "server/RequestFields.h"

namespace tessil {

class TDataMod;

class TCmdLineObject {
  public:
    // dataMod may be null: account lookups then give empty data.
    explicit TCmdLineObject(IMsgTransport* svr = nullptr, const TDataMod* dataMod = nullptr);
    // Clears the lobby (every user's connection is asked to close).
    ~TCmdLineObject();
    TCmdLineObject(const TCmdLineObject&) = delete;
    TCmdLineObject& operator=(const TCmdLineObject&) = delete;

    // The running message server (for the connection count), or null.
    void SetSvrNet(IMsgTransport* svr) { FSvrNet = svr; }
    IMsgTransport* SvrNet() const { return FSvrNet; }
    // The reply path used by every command and by the lobby; null while no server exists.
    void SetNetMesg(std::shared_ptr<TNetMesg> netMesg);
    std::shared_ptr<TNetMesg> NetMesg() const { return FGameInfo->NetMesg(); }

    TGameUserInfo& GameInfo() { return *FGameInfo; }

    // The bounds on request members, read from the settings when the object is created.
    const TIntakeLimits& Limits() const { return limits_; }
    void SetLimits(const TIntakeLimits& limits) { limits_ = limits; }

    // The account check: accepts every pair.
    bool Tessil_IsRegisteredUser(std::string_view usrid, std::string_view pass) const;
    bool Tessil_IsExistsUser(std::string_view usrid) const;
    std::shared_ptr<TRoomObject> Tessil_SearchPlayer(std::string_view usrid) const;

    // LOGIN; false when the connection is to be closed.
    bool Tessil_Process_Login(const TClientRecPtr& client, const TJsonValue& request);
    bool Process_Login(const TClientRecPtr& client, std::string_view usrid, std::string_view pass,
                       std::string_view gcode);
    // LOGOUT, or with force LOGOUTREQ (whose account check comes first and answers as LOGIN).
    void Tessil_Process_Logout(const TClientRecPtr& client, const TJsonValue& request,
                               bool force = false);
    // The three steps of a LOGOUT, which a cluster runs on two nodes: the request read on
    // the requester's node (nothing: already answered, or the connection is spent), the
    // verdict on the user's own node (the ID's lock, the password, the logout itself, the
    // ID's failure count), and the answer on the requester's node (the reply, the
    // connection's failure count, the close).
    struct TLogoutRequest {
        std::string usrid, pass;
    };
    std::optional<TLogoutRequest> Tessil_ReadLogout(const TClientRecPtr& client,
                                                    const TJsonValue& request, bool force);
    TGameUserInfo::TLogoutResult Tessil_DecideLogout(std::string_view usrid,
                                                     const TClientRec* requester,
                                                     std::string_view pass);
    void Tessil_AnswerLogout(const TClientRecPtr& client, TGameUserInfo::TLogoutResult verdict);
    // After a connection closed: logs out the user of this connection (if it still is
    // this connection's) with all the room's events. Replies are not sent: the
    // connection is gone.
    void Tessil_CheckLogout(const TClientRecPtr& client);

    std::string Tessil_GetAllUserList() const;
    std::string Tessil_FindUserID(std::string_view usrid) const;
    std::string Tessil_GetRoomList(int32_t roomNo);
    bool Tessil_MakeRoom(std::string_view subject, std::string_view pass, std::string_view roomtype,
                         std::string_view roomterm, std::string_view gamecode,
                         const TClientRecPtr& client);
    // welcome: the entrant's answer, queued with his seat (see TGameUserInfo::EnterRoom).
    bool Tessil_EnterRoom(int32_t roomNo, std::string_view pass, std::string_view gamecode,
                          const TClientRecPtr& client, std::string_view welcome = {});
    // EXITROOM: the connection's user leaves the room that matches roomNo, pass and
    // gamecode (or any room with 0, "" and "").
    bool Tessil_ExitRoom(const TClientRecPtr& client, int32_t roomNo, std::string_view pass,
                         std::string_view gamecode);
    // The disconnect path: the connection's own membership, whatever room it is.
    bool Tessil_ExitRoom(const TClientRecPtr& client);
    bool Tessil_BroadcastMsgToRoom(std::string_view cmd, int32_t roomNo, std::string_view msg,
                                   const TClientRecPtr& client);
    bool Tessil_BroadcastStatMsgToRoom(std::string_view cmd, std::string_view msg,
                                       const TClientRecPtr& client, int32_t mode);
    bool Tessil_ResetRoom(std::string_view cmd, std::string_view msg, const TClientRecPtr& client,
                          int32_t mode);
    bool Tessil_CheckEndGame(std::string_view cmd, std::string_view msg,
                             const TClientRecPtr& client);
    bool Tessil_SendMesgToUser(std::string_view cmd, std::string_view usrid, std::string_view msg,
                               const TClientRecPtr& client);
    bool Tessil_ChangeRoomStat(const TClientRecPtr& client, int32_t state);
    int32_t Tessil_Check_RoomCount() const;
    int32_t Tessil_Check_ClientConnection() const;

    // Queues one reply text to the client (no-op without a reply path).
    void Reply(std::string_view text, const TClientRecPtr& client) const;
    // A list reply (USRLIST, ROOMLIST): sent as Reply does, and charged against the
    // requester's request rate by its size, as building it cost the server.
    void ReplyList(std::string_view text, const TClientRecPtr& client) const;
    // Closes the client's connection after pause ms (no-op without a reply path).
    void Disconnect(const TClientRecPtr& client, int32_t pause) const;

  private:
    std::atomic<IMsgTransport*> FSvrNet;
    std::unique_ptr<TGameUserInfo> FGameInfo;
    const TDataMod* dataMod_;
    TIntakeLimits limits_ = TIntakeLimits::FromSettings();
    TLogoutGuard logoutGuard_;
};

}  // namespace tessil
