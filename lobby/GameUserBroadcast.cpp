// The registry's room messages and game state: chat, state notices with the start notice,
// reset, end of game, a message to one user, the room state. Called from request workers.
#include <mutex>

#include "lobby/GameUserInfo.h"
#include "lobby/UserListItems.h"
#include "protocol/ClientProtocol.h"
#include "protocol/TextUtils.h"

namespace tessil {

std::shared_ptr<TRoomObject> TGameUserInfo::callerRoomLocked(const TClientRecPtr& nInfo,
                                                             std::string_view msg) const {
    if (!nInfo || nInfo->FRoomNo < 1 || msg.empty()) return nullptr;
    auto room = searchLocked(nInfo->FUsrID, nInfo.get());
    if (!room || room->FRoomNo != nInfo->FRoomNo) return nullptr;
    return room;
}

bool TGameUserInfo::BroadcastMsgToRoom(std::string_view cmd, int32_t roomNo, std::string_view msg,
                                       const TClientRecPtr& nInfo) {
    if (!nInfo || roomNo <= 0) return false;
    const std::string text = TrimAnsi(msg);
    if (text.empty()) return false;
    // Built and encoded once, outside every lock; the same frame is queued to every other
    // member.
    auto frame = TNetMesg::MakeFrame(MakeMsgForClient(cmd, code::E000, text));
    // Found through the index without the registry's lock; a miss looks again with the
    // registry held, where no seat can change, before it answers that the sender is not
    // seated.
    if (fanOutFromSeat(nInfo, frame)) return true;
    std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
    if (fanOutFromSeat(nInfo, frame)) return true;
    sendLocked(MakeMsgForClient(cmd, code::E024, text::MembersOnly), nInfo);
    return false;
}

bool TGameUserInfo::fanOutFromSeat(const TClientRecPtr& nInfo,
                                   std::shared_ptr<const std::string>& frame) {
    std::shared_ptr<TRoomObject> seated;
    {
        std::shared_lock index(indexGuard_);
        auto it = roomOfClient_.find(nInfo.get());
        if (it != roomOfClient_.end()) seated = it->second;
    }
    if (!seated) return false;
    // Under the room's order lock its member list cannot change: the sender's seat is
    // checked there and the fan-out follows under the same hold.
    std::lock_guard<std::recursive_mutex> order(seated->FOrderGuard);
    if (seated->FRoomNo != nInfo->FRoomNo || !isMemberLocked(*seated, nInfo)) return false;
    if (auto net = NetMesg()) fanOutLocked(*seated, net.get(), std::move(frame), nInfo);
    return true;
}

bool TGameUserInfo::isMemberLocked(const TRoomObject& room, const TClientRecPtr& client) {
    for (const auto& [id, member] : room.FUserList)
        if (member.Client == client) return true;
    return false;
}

void TGameUserInfo::fanOutLocked(const TRoomObject& room, const TNetMesg* net,
                                 std::shared_ptr<const std::string> frame,
                                 const TClientRecPtr& sender) {
    TNetMesg::Fanout out(net, std::move(frame));
    for (const auto& [id, member] : room.FUserList)
        if (member.Client != sender) out.To(member.Client);
}

bool TGameUserInfo::BroadcastStatMsgToRoom(std::string_view cmd, std::string_view msg,
                                           const TClientRecPtr& nInfo, int32_t mode) {
    const std::string text = TrimAnsi(msg);
    std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
    auto room = callerRoomLocked(nInfo, text);
    if (!room) return false;
    if (mode != 1 && room->FMasterid != nInfo->FUsrID) return false;
    std::lock_guard<std::recursive_mutex> order(room->FOrderGuard);
    auto net = NetMesg();
    size_t ready = 0;
    {
        TNetMesg::Fanout out(net.get(),
                             TNetMesg::MakeFrame(MakeMsgForClient(cmd, code::E000, text)));
        for (const auto& [id, member] : room->FUserList) {
            out.To(member.Client);
            if (member.Client->FGameStat == 2) ++ready;
        }
    }
    if (ready == room->FUserList.size() && ready > 1) {
        TNetMesg::Fanout out(net.get(), TNetMesg::MakeFrame(MakeMsgForClient(
                                            "STARTOK", code::E000, text::GameStart)));
        for (const auto& [id, member] : room->FUserList) out.To(member.Client);
    }
    return true;
}

bool TGameUserInfo::ResetRoom(std::string_view /*cmd*/, std::string_view msg,
                              const TClientRecPtr& nInfo) {
    const std::string text = TrimAnsi(msg);
    std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
    auto room = callerRoomLocked(nInfo, text);
    if (!room || room->FMasterid != nInfo->FUsrID) return false;
    std::lock_guard<std::recursive_mutex> order(room->FOrderGuard);
    auto net = NetMesg();
    TNetMesg::Fanout out(net.get(), TNetMesg::MakeFrame(MakeMsgForClient(
                                        "RESETGAME", code::E000, text::ResetGame)));
    room->FRoomState = 0;
    for (const auto& [id, member] : room->FUserList) {
        member.Client->FGameStat = 1;
        out.To(member.Client);
    }
    return true;
}

bool TGameUserInfo::CheckEndGame(std::string_view /*cmd*/, std::string_view msg,
                                 const TClientRecPtr& nInfo) {
    const std::string text = TrimAnsi(msg);
    std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
    auto room = callerRoomLocked(nInfo, text);
    if (!room || room->FMasterid != nInfo->FUsrID) return false;
    sendLocked(MakeMsgForClient("ENDGAME", code::E000, text::EndGame), nInfo);
    return true;
}

bool TGameUserInfo::SendMesgToUser(std::string_view cmd, std::string_view usrid,
                                   std::string_view msg, const TClientRecPtr& /*nInfo*/) {
    const auto m = ReadUserMessage(usrid, msg);
    if (!m) return false;
    std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
    auto it = FTessil_UserList.find(m->to);
    if (it == FTessil_UserList.end()) return false;
    sendLocked(MakeMsgForClient(cmd, code::E000, m->text), it->second->Client());
    return true;
}

bool TGameUserInfo::ChangeRoomStat(const TClientRecPtr& client, int32_t statMode) {
    if (!client) return false;
    std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
    auto room = searchLocked(client->FUsrID, client.get());
    if (!room || room->FMasterid != client->FUsrID) return false;
    room->FRoomState = statMode;
    return true;
}

}  // namespace tessil
