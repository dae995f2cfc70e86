// One open room and its own member operations. Owned by the registry; the Room_
// operations may be called from any thread and take the room's own lock.
#include "lobby/RoomObject.h"

#include <exception>
#include <vector>

#include "platform/AppLog.h"
#include "protocol/TextUtils.h"

namespace tessil {

TRoomObject::TRoomObject(IMsgTransport* Svr, std::string_view MasterId, std::string_view Pass,
                         std::string_view gCode, std::string_view Subj)
    : FSvr(Svr), FGameCode(gCode), FSubject(Subj), FPassword(Pass), FMasterid(MasterId) {}

TRoomObject::~TRoomObject() = default;

bool TRoomObject::Room_IsUserListNil() {
    return false;
}

int32_t TRoomObject::Room_CreateUserList() {
    return 1;
}

int32_t TRoomObject::Room_FindUserInfo(const TClientRec& client) {
    return Room_FindUserInfo(client.FUsrID);
}

int32_t TRoomObject::Room_FindUserInfo(std::string_view usrid) {
    std::lock_guard<std::mutex> lock(FRoomGuard);
    return FUserList.count(std::string(usrid)) != 0 ? 1 : 0;
}

int32_t TRoomObject::Room_AddUserInfo(const TClientRecPtr& client) {
    if (!IsValidClient(client.get())) return 0;
    std::lock_guard<std::mutex> lock(FRoomGuard);
    TUserClientRec rec;
    rec.Client = client;
    FUserList.try_emplace(client->FUsrID, std::move(rec));
    return 1;
}

int32_t TRoomObject::Room_DeleteUserInfo(std::string_view usrid) {
    {
        std::lock_guard<std::mutex> lock(FRoomGuard);
        FUserList.erase(std::string(usrid));
    }
    std::string msg = R"({"CMD":"USROUT", "CODE":"E000", "data":")";
    msg += JsonEscape(usrid);
    msg += "\"}";
    Room_Broadcast(msg);
    return 1;
}

void TRoomObject::Room_Broadcast(std::string_view msg) {
    if (FSvr == nullptr) return;
    std::vector<TClientRecPtr> targets;
    {
        std::lock_guard<std::mutex> lock(FRoomGuard);
        targets.reserve(FUserList.size());
        for (const auto& [id, member] : FUserList) targets.push_back(member.Client);
    }
    for (const auto& client : targets) {
        try {
            FSvr->SendString(msg, client);
        } catch (const std::exception& e) {
            filelog::Write("TRoomObject.Room_Broadcast", e.what());
        }
    }
}

}  // namespace tessil
