// The lobby's entry for one logged-in user (a view over its connection's client record)
// and the member record a room keeps. Owned by the registry; read under its lock.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "iocpengine/ClientRec.h"

namespace tessil {

// A thin view over a client record: the record's lobby fields are the one place where a
// user's identity, room and login state live, so every accessor reads or writes the
// record. The strings of a record are written only while the record is not yet listed
// in the registry (at login, under the registry lock); other threads read them only
// under that lock.
class TUserObject {
  public:
    // Writes the identity into the record: FUsrID, FUsrPass, FTagID, FGCode, FUsrName,
    // FUsrInfo, FRoomNo := -2, FUserNick, FLoginState := uState.
    TUserObject(std::string_view usrid, std::string_view upass, std::string_view tagId,
                std::string_view gCode, std::string_view uName, std::string_view uNick,
                std::string_view uInfo, int32_t uState, TClientRecPtr uCli);
    // Leaves the record alive with room number -2.
    ~TUserObject();
    TUserObject(const TUserObject&) = delete;
    TUserObject& operator=(const TUserObject&) = delete;

    const TClientRecPtr& Client() const { return FClientRec; }

    int32_t Get_RoomNo() const { return FClientRec->FRoomNo; }
    void Set_RoomNo(int32_t v) { FClientRec->FRoomNo = v; }
    const std::string& Get_UserID() const { return FClientRec->FUsrID; }
    void Set_UserID(std::string_view v) { FClientRec->FUsrID = v; }
    const std::string& Get_TagID() const { return FClientRec->FTagID; }
    void Set_TagID(std::string_view v) { FClientRec->FTagID = v; }
    const std::string& Get_UserInfo() const { return FClientRec->FUsrInfo; }
    void Set_UserInfo(std::string_view v) { FClientRec->FUsrInfo = v; }
    const std::string& Get_UserName() const { return FClientRec->FUsrName; }
    void Set_UserName(std::string_view v) { FClientRec->FUsrName = v; }
    const std::string& Get_GameCode() const { return FClientRec->FGCode; }
    void Set_GameCode(std::string_view v) { FClientRec->FGCode = v; }
    const std::string& Get_Pasword() const { return FClientRec->FUsrPass; }
    void Set_Password(std::string_view v) { FClientRec->FUsrPass = v; }
    const std::string& Get_Nick() const { return FClientRec->FUserNick; }
    void Set_Nick(std::string_view v) { FClientRec->FUserNick = v; }
    int32_t Get_LoginState() const { return FClientRec->FLoginState; }
    void Set_LoginState(int32_t v) { FClientRec->FLoginState = v; }

  private:
    TClientRecPtr FClientRec;
};

// What a room's member map holds for one member.
struct TUserClientRec {
    std::array<char, 21> FStat{};  // reserved, never set or read by the lobby
    TClientRecPtr Client;
};

}  // namespace tessil
