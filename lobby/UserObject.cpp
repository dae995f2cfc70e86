// The lobby's user entry over a client record. Created by the login command and owned
// by the registry; constructed under the registry lock on a request worker thread.
#include "lobby/UserObject.h"

namespace tessil {

TUserObject::TUserObject(std::string_view usrid, std::string_view upass, std::string_view tagId,
                         std::string_view gCode, std::string_view uName, std::string_view uNick,
                         std::string_view uInfo, int32_t uState, TClientRecPtr uCli)
    : FClientRec(std::move(uCli)) {
    FClientRec->FUsrID = usrid;
    FClientRec->FUsrPass = upass;
    FClientRec->FTagID = tagId;
    FClientRec->FGCode = gCode;
    FClientRec->FUsrName = uName;
    FClientRec->FUsrInfo = uInfo;
    FClientRec->FRoomNo = -2;
    FClientRec->FUserNick = uNick;
    FClientRec->FLoginState = uState;
}

TUserObject::~TUserObject() {
    if (FClientRec) FClientRec->FRoomNo = -2;
}

}  // namespace tessil
