// The registry's rooms: making, numbering, listing, deleting, entering and leaving, every
// map access under FSafeGuard. Called from request workers and the disconnect event.
#include <exception>
#include <vector>

#include "lobby/GameUserInfo.h"
#include "platform/AppLog.h"
#include "protocol/ClientProtocol.h"
#include "protocol/TextUtils.h"

namespace tessil {

namespace {
constexpr int32_t kFirstRoomNo = 100000000;
constexpr int32_t kLastRoomNo = 199999999;

// Appends the members of one room as JSON items, without brackets, in place like the
// list itself.
void AppendRoomUserList(std::string& out, const TRoomObject::TMemberMap& members) {
    bool first = true;
    for (const auto& [id, member] : members) {
        if (!member.Client) continue;
        const std::string usrid = TrimAnsi(member.Client->FUsrID);
        if (usrid.empty()) continue;
        if (!first) out += ',';
        first = false;
        out += "{\"userid\":\"";
        AppendJsonEscaped(out, usrid);
        out += "\",\"nickname\":\"";
        AppendJsonEscaped(out, TrimAnsi(member.Client->FUserNick));
        out += "\", \"stat\":";
        out += IntToAnsiStr(member.Client->FGameStat);
        out += " }";
    }
}
}  // namespace

std::shared_ptr<TRoomObject> TGameUserInfo::findRoomLocked(int32_t roomNo) const {
    auto it = roomsByNo_.find(roomNo);
    return it == roomsByNo_.end() ? nullptr : it->second;
}

void TGameUserInfo::listRoomLocked(const std::shared_ptr<TRoomObject>& room) {
    roomsByNo_.emplace(room->FRoomNo, room);
    for (const auto& [id, member] : room->FUserList) {
        seats_.emplace(id, room.get());
        indexSeatLocked(member.Client.get(), room);
    }
}

void TGameUserInfo::unlistRoomLocked(const TRoomObject& room) {
    auto it = roomsByNo_.find(room.FRoomNo);
    if (it != roomsByNo_.end() && it->second.get() == &room) roomsByNo_.erase(it);
    for (const auto& [id, member] : room.FUserList) unindexSeatLocked(member.Client.get(), room);
}

void TGameUserInfo::indexSeatLocked(const TClientRec* client,
                                    const std::shared_ptr<TRoomObject>& room) {
    std::unique_lock index(indexGuard_);
    roomOfClient_[client] = room;
}

void TGameUserInfo::unindexSeatLocked(const TClientRec* client, const TRoomObject& room) {
    std::unique_lock index(indexGuard_);
    auto it = roomOfClient_.find(client);
    if (it != roomOfClient_.end() && it->second.get() == &room) roomOfClient_.erase(it);
}

void TGameUserInfo::indexUserLocked(const TClientRec* client,
                                    const std::shared_ptr<TUserObject>& usr) {
    std::unique_lock index(indexGuard_);
    usersByClient_[client] = usr;
}

bool TGameUserInfo::seatLocked(TRoomObject& room, const std::string& usrid,
                               const TClientRecPtr& client) {
    TUserClientRec member;
    member.Client = client;
    std::lock_guard<std::recursive_mutex> order(room.FOrderGuard);
    if (!room.FUserList.emplace(usrid, std::move(member)).second) return false;
    // Only a registered room is indexed; a room made outside the registry stays private.
    auto listed = roomsByNo_.find(room.FRoomNo);
    if (listed != roomsByNo_.end() && listed->second.get() == &room) {
        seats_.emplace(usrid, &room);
        indexSeatLocked(client.get(), listed->second);
    }
    return true;
}

void TGameUserInfo::unseatLocked(TRoomObject& room, TRoomObject::TMemberMap::iterator member) {
    auto [first, last] = seats_.equal_range(member->first);
    for (auto it = first; it != last; ++it) {
        if (it->second == &room) {
            seats_.erase(it);
            break;
        }
    }
    unindexSeatLocked(member->second.Client.get(), room);
    std::lock_guard<std::recursive_mutex> order(room.FOrderGuard);
    room.FUserList.erase(member);
}

void TGameUserInfo::unseatAllLocked(TRoomObject& room) {
    while (!room.FUserList.empty()) unseatLocked(room, room.FUserList.begin());
}

std::shared_ptr<TRoomObject> TGameUserInfo::FindRoom(int32_t roomNo) const {
    std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
    return findRoomLocked(roomNo);
}

void TGameUserInfo::SetRoomNumberRange(int32_t first, int32_t last) {
    if (first < kFirstRoomNo || last > kLastRoomNo || first > last) return;
    std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
    roomFirst_ = first;
    roomLast_ = last;
}

int32_t TGameUserInfo::freeRoomNumberLocked() const {
    // Room numbers stay unique among open rooms: on a clash the next free one is taken.
    const int64_t span = int64_t{roomLast_} - roomFirst_ + 1;
    int32_t n = static_cast<int32_t>(roomFirst_ + (GetUniqueKey() - kFirstRoomNo) % span);
    while (findRoomLocked(n)) n = n >= roomLast_ ? roomFirst_ : n + 1;
    return n;
}

bool TGameUserInfo::MakeRoom(std::string_view subj, std::string_view pass, std::string_view rtype,
                             std::string_view rterm, std::string_view gcode,
                             const TClientRecPtr& nInfo) {
    if (!nInfo) return false;
    const std::string password = TrimControl(pass);
    const std::string type = UpperAscii(TrimControl(rtype));
    const std::string term = UpperAscii(TrimControl(rterm));
    const std::string subject = TrimAnsi(subj);
    if (subject.empty() || (type != "OPEN" && type != "CLOSE")) return false;
    try {
        // The check and the registration happen under one hold of the lock, so two
        // requests of one user cannot both make a room.
        std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
        const std::string& usrid = nInfo->FUsrID;
        auto usr = FTessil_UserList.find(usrid);
        if (usr == FTessil_UserList.end() || usr->second->Client() != nInfo) return false;
        if (FTessil_RoomList.count(usrid) != 0) return false;
        auto room = std::make_shared<TRoomObject>(FNetSvr, usrid, password, gcode, subject);
        room->FRoomNo = freeRoomNumberLocked();
        room->FRoomType = type == "OPEN" ? 0 : 1;
        room->FRoomTerm = term == "CONT" ? 0 : 1;
        TUserClientRec member;
        member.Client = nInfo;
        room->FUserList.emplace(usrid, std::move(member));
        FTessil_RoomList.emplace(usrid, room);
        listRoomLocked(room);
        nInfo->FRoomNo = room->FRoomNo;
        nInfo->FGameStat = 1;
        return true;
    } catch (const std::exception& e) {
        filelog::Write("AddRoom-2", e.what());
        return false;
    }
}

std::shared_ptr<TRoomObject> TGameUserInfo::NewRoom(IMsgTransport* svr, std::string_view usrid,
                                                    std::string_view subj, std::string_view pass,
                                                    std::string_view gcode) {
    try {
        std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
        auto room = std::make_shared<TRoomObject>(svr, usrid, pass, gcode, subj);
        room->FRoomNo = freeRoomNumberLocked();
        if (FTessil_RoomList.try_emplace(std::string(usrid), room).second) listRoomLocked(room);
        return room;
    } catch (const std::exception&) {
        return nullptr;
    }
}

bool TGameUserInfo::AdoptRoom(const TRoomImage& image) {
    try {
        std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
        if (image.number < kFirstRoomNo || image.number > kLastRoomNo ||
            findRoomLocked(image.number) || FTessil_RoomList.count(image.master) != 0)
            return false;
        bool hasMaster = false;
        for (const auto& [client, stat] : image.members) {
            if (!client) return false;
            auto usr = FTessil_UserList.find(client->FUsrID);
            if (usr == FTessil_UserList.end() || usr->second->Client() != client ||
                seats_.count(client->FUsrID) != 0)
                return false;
            hasMaster = hasMaster || client->FUsrID == image.master;
        }
        if (!hasMaster) return false;
        auto room = std::make_shared<TRoomObject>(FNetSvr, image.master, image.password,
                                                  image.gameCode, image.subject);
        room->FRoomNo = image.number;
        room->FRoomType = image.type;
        room->FRoomTerm = image.term;
        room->FRoomState = image.state;
        for (const auto& [client, stat] : image.members) {
            TUserClientRec member;
            member.Client = client;
            room->FUserList.emplace(client->FUsrID, std::move(member));
            client->FRoomNo = image.number;
            client->FGameStat = stat;
        }
        FTessil_RoomList.emplace(image.master, room);
        listRoomLocked(room);
        return true;
    } catch (const std::exception& e) {
        filelog::Write("AdoptRoom", e.what());
        return false;
    }
}

bool TGameUserInfo::DeleteRoom(std::string_view usrid) {
    try {
        std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
        auto it = FTessil_RoomList.find(std::string(usrid));
        if (it == FTessil_RoomList.end()) return false;
        std::shared_ptr<TRoomObject> room = it->second;
        std::lock_guard<std::recursive_mutex> order(room->FOrderGuard);
        auto net = NetMesg();
        TNetMesg::Fanout out(net.get(), TNetMesg::MakeFrame(MakeMsgForClient("DELROOM", code::E000,
                                                                             text::RoomClosed)));
        for (auto& [id, member] : room->FUserList) {
            out.To(member.Client);
            member.Client->FRoomNo = -2;
            member.Client->FGameStat = 0;
        }
        unseatAllLocked(*room);
        unlistRoomLocked(*room);
        FTessil_RoomList.erase(it);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::string TGameUserInfo::GetRoomList(int32_t roomNo) {
    // Built in place under the registry's lock, which it holds for its whole length.
    std::string list = "[";
    try {
        std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
        auto add = [&list](TRoomObject& room) {
            room.FPassword = TrimControl(room.FPassword);
            if (list.size() > 1) list += ',';
            list += "{\"roomNo\":\"";
            list += IntToAnsiStr(room.FRoomNo);
            list += "\",\"master\":\"";
            AppendJsonEscaped(list, room.FMasterid);
            list += "\",\"subect\":\"";
            AppendJsonEscaped(list, room.FSubject);
            list += "\",\"rtype\":";
            list += IntToAnsiStr(room.FRoomType);
            list += ",\"rpass\":";
            list += room.FPassword.empty() ? "0" : "1";
            list += ",\"rstat\":";
            list += IntToAnsiStr(room.FRoomState);
            list += ",\"player\":[";
            AppendRoomUserList(list, room.FUserList);
            list += "]}";
        };
        if (roomNo == -1) {
            for (const auto& [key, room] : FTessil_RoomList) add(*room);
        } else if (auto room = findRoomLocked(roomNo)) {
            add(*room);
        }
    } catch (const std::exception& e) {
        filelog::Write("GetRoomList", e.what());
        list = "[";  // an item cut short would not be JSON
    }
    list += ']';
    return list;
}

int32_t TGameUserInfo::Check_RoomCount() const {
    return RoomCount();
}

std::shared_ptr<TRoomObject> TGameUserInfo::searchLocked(std::string_view usrid,
                                                         const TClientRec* owner) const {
    const std::string key(usrid);
    auto [first, last] = seats_.equal_range(key);
    for (auto seat = first; seat != last; ++seat) {
        auto it = seat->second->FUserList.find(key);
        if (it == seat->second->FUserList.end()) continue;
        if (owner != nullptr && it->second.Client.get() != owner) continue;
        return findRoomLocked(seat->second->FRoomNo);
    }
    return nullptr;
}

std::shared_ptr<TRoomObject> TGameUserInfo::SearchPlayerRoom(std::string_view usrid) const {
    std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
    return searchLocked(usrid, nullptr);
}

bool TGameUserInfo::IsValidEnter(const TRoomObject& room) const {
    std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
    if (room.FRoomState <= 0 || room.FRoomType == 0) return true;
    for (const auto& [id, member] : room.FUserList) {
        if (member.Client->FGameStat >= 2) return false;
    }
    return true;
}

int32_t TGameUserInfo::AddUserToRoom(TRoomObject& room, const TClientRecPtr& client) {
    if (!IsValidClient(client.get())) return 0;
    try {
        std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
        if (room.FUserList.count(client->FUsrID) != 0) return 0;
        client->FRoomNo = -room.FRoomNo;
        seatLocked(room, client->FUsrID, client);
        return 1;
    } catch (const std::exception& e) {
        filelog::Write("AddUserToRoom", e.what());
        return 0;
    }
}

bool TGameUserInfo::EnterRoom(int32_t roomNo, std::string_view password, std::string_view /*gcode*/,
                              const TClientRecPtr& nInfo, std::string_view welcome) {
    if (!nInfo || roomNo <= 0 || nInfo->FRoomNo >= 1) return false;
    try {
        std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
        auto room = findRoomLocked(roomNo);
        if (!room || room->FMasterid == nInfo->FUsrID) return false;
        if (room->FPassword != password || !IsValidEnter(*room)) return false;
        std::lock_guard<std::recursive_mutex> order(room->FOrderGuard);
        if (AddUserToRoom(*room, nInfo) != 1) return false;
        nInfo->FRoomNo = roomNo;
        if (!welcome.empty()) sendLocked(welcome, nInfo);
        return true;
    } catch (const std::exception& e) {
        filelog::Write("EnterRoom", e.what());
        return false;
    }
}

bool TGameUserInfo::EnterRoom(std::string_view masId, const std::shared_ptr<TUserObject>& usr) {
    if (!usr || !usr->Client()) return false;
    std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
    auto it = FTessil_RoomList.find(std::string(masId));
    if (it == FTessil_RoomList.end()) return false;
    if (!seatLocked(*it->second, usr->Get_UserID(), usr->Client())) return false;
    usr->Set_RoomNo(it->second->FRoomNo);
    return true;
}

bool TGameUserInfo::ExitRoom(const TClientRecPtr& client, int32_t iNo, std::string_view pass,
                             std::string_view gcode) {
    if (!client) return false;
    try {
        std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
        return exitRoomLocked(client->FUsrID, client.get(), iNo, pass, gcode);
    } catch (const std::exception& e) {
        filelog::Write("ExitRoom", e.what());
        return false;
    }
}

bool TGameUserInfo::exitRoomLocked(std::string_view usrid, const TClientRec* owner, int32_t iNo,
                                   std::string_view pass, std::string_view gcode) {
    std::shared_ptr<TRoomObject> room = searchLocked(usrid, owner);
    if (!room) return false;
    std::lock_guard<std::recursive_mutex> order(room->FOrderGuard);
    const bool anyRoom = iNo == 0 && pass.empty() && gcode.empty();
    if (!anyRoom && (room->FRoomNo != iNo || room->FPassword != pass || room->FGameCode != gcode)) {
        return false;
    }
    auto net = NetMesg();
    if (room->FMasterid == usrid) {
        if (room->FRoomTerm == 1 || room->FUserList.size() == 1) return DeleteRoom(usrid);
        // Hand the room to the first other member in map order who masters no room of his
        // own: re-keying onto a taken key would drop this room with its members still in
        // it. When nobody qualifies, the room closes as if its term were over.
        auto heir = room->FUserList.end();
        for (auto it = room->FUserList.begin(); it != room->FUserList.end(); ++it) {
            if (it->first != usrid && FTessil_RoomList.count(it->first) == 0) {
                heir = it;
                break;
            }
        }
        if (heir == room->FUserList.end()) return DeleteRoom(usrid);
        const std::string& id = heir->first;
        room->FMasterid = id;
        auto node = FTessil_RoomList.extract(std::string(usrid));
        node.key() = id;
        FTessil_RoomList.insert(std::move(node));
        if (net) {
            net->Tessil_SendString(
                MakeMsgForClient("CHGMAS", code::E000, std::string(text::MasterChangedPrefix) + id),
                heir->second.Client);
        }
    }
    {
        TNetMesg::Fanout out(
            net.get(),
            TNetMesg::MakeFrame(MakeMsgForClient(
                "USROUT", code::E000, std::string(text::UserOutPrefix) + std::string(usrid))));
        for (const auto& [id, member] : room->FUserList) out.To(member.Client);
    }
    auto leaver = room->FUserList.find(std::string(usrid));
    if (leaver != room->FUserList.end()) {
        leaver->second.Client->FRoomNo = -2;
        leaver->second.Client->FGameStat = 0;
        unseatLocked(*room, leaver);
    }
    return true;
}

}  // namespace tessil
