// The lobby registry's life cycle and user operations (login, logout, lists, clearing).
// Called from request workers, the disconnect event and the window thread.
#include "lobby/GameUserInfo.h"

#include <exception>
#include <vector>

#include "lobby/UserListItems.h"
#include "platform/AppLog.h"
#include "protocol/TextCheck.h"
#include "protocol/TextUtils.h"

namespace tessil {

TGameUserInfo::TGameUserInfo() = default;

TGameUserInfo::~TGameUserInfo() {
    ClearAllData();
}

void TGameUserInfo::SetNetMesg(std::shared_ptr<TNetMesg> netMesg) {
    std::lock_guard<std::mutex> lock(netGuard_);
    netMesg_ = std::move(netMesg);
}

std::shared_ptr<TNetMesg> TGameUserInfo::NetMesg() const {
    std::lock_guard<std::mutex> lock(netGuard_);
    return netMesg_;
}

void TGameUserInfo::SetNetSvr(IMsgTransport* svr) {
    std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
    FNetSvr = svr;
}

void TGameUserInfo::sendLocked(std::string_view text, const TClientRecPtr& client) const {
    if (auto net = NetMesg()) net->Tessil_SendString(text, client);
}

int32_t TGameUserInfo::UserCount() const {
    std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
    return static_cast<int32_t>(FTessil_UserList.size());
}

int32_t TGameUserInfo::RoomCount() const {
    std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
    return static_cast<int32_t>(FTessil_RoomList.size());
}

bool TGameUserInfo::AddUser(const std::shared_ptr<TUserObject>& usr) {
    if (!usr || !usr->Client()) return false;
    try {
        std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
        if (!FTessil_UserList.try_emplace(usr->Get_UserID(), usr).second) return false;
        indexUserLocked(usr->Client().get(), usr);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool TGameUserInfo::AddNewUser(const TClientRecPtr& client, std::string_view usrid,
                               std::string_view pass, std::string_view tagId,
                               std::string_view gcode, std::string_view name, std::string_view nick,
                               std::string_view info) {
    if (!client) return false;
    try {
        std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
        // A connection whose close has completed is not listed: its disconnect event (which
        // may run while a LOGIN of it is still being handled) logs out under this lock, and
        // would otherwise find nobody and leave the ID taken by a connection that is gone.
        if (client->FRemoved.load()) return false;
        if (FTessil_UserList.count(std::string(usrid)) != 0) return false;
        auto usr =
            std::make_shared<TUserObject>(usrid, pass, tagId, gcode, name, nick, info, 0, client);
        indexUserLocked(client.get(), usr);
        FTessil_UserList.emplace(std::string(usrid), std::move(usr));
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool TGameUserInfo::IsExistsUser(std::string_view usrid) const {
    std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
    return FTessil_UserList.count(std::string(usrid)) != 0;
}

std::shared_ptr<TUserObject> TGameUserInfo::GetUser(std::string_view usrid) const {
    std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
    auto it = FTessil_UserList.find(std::string(usrid));
    return it == FTessil_UserList.end() ? nullptr : it->second;
}

std::shared_ptr<TUserObject> TGameUserInfo::GetUserByClient(const TClientRec* client) const {
    std::shared_lock index(indexGuard_);
    auto it = usersByClient_.find(client);
    return it == usersByClient_.end() ? nullptr : it->second;
}

bool TGameUserInfo::IsListedClient(const TClientRecPtr& client) const {
    return client && GetUserByClient(client.get()) != nullptr;
}

TGameUserInfo::TLogoutResult TGameUserInfo::LogoutChecked(std::string_view usrid,
                                                          const TClientRec* requester,
                                                          std::string_view pass,
                                                          bool comparePassword) {
    try {
        std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
        auto it = FTessil_UserList.find(std::string(usrid));
        if (it == FTessil_UserList.end()) return TLogoutResult::NotListed;
        if (it->second->Client().get() != requester &&
            (!comparePassword || !ConstantTimeEquals(it->second->Get_Pasword(), pass)))
            return TLogoutResult::Refused;
        logoutLocked(usrid, nullptr);
        return TLogoutResult::Done;
    } catch (const std::exception&) {
        return TLogoutResult::Refused;
    }
}

bool TGameUserInfo::logoutLocked(std::string_view usrid, const TClientRec* owner) {
    exitRoomLocked(usrid, owner, 0, "", "");
    auto it = FTessil_UserList.find(std::string(usrid));
    if (it == FTessil_UserList.end()) return false;
    std::shared_ptr<TUserObject> usr = std::move(it->second);
    FTessil_UserList.erase(it);
    {
        std::unique_lock index(indexGuard_);
        auto byClient = usersByClient_.find(usr->Client().get());
        if (byClient != usersByClient_.end() && byClient->second == usr)
            usersByClient_.erase(byClient);
    }
    usr->Client()->FGameStat = 0;
    return true;  // usr's destructor sets the record's room number to -2
}

bool TGameUserInfo::LogoutUser(std::string_view usrid) {
    try {
        std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
        return logoutLocked(usrid, nullptr);
    } catch (const std::exception&) {
        return false;
    }
}

bool TGameUserInfo::LogoutClient(const TClientRecPtr& client) {
    if (!client) return false;
    try {
        std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
        const std::string usrid = client->FUsrID;
        if (usersByClient_.count(client.get()) == 0) {
            // The user may have logged in again on another connection meanwhile; only a
            // room membership of this connection is left to end.
            exitRoomLocked(usrid, client.get(), 0, "", "");
            return false;
        }
        return logoutLocked(usrid, client.get());
    } catch (const std::exception&) {
        return false;
    }
}

std::string TGameUserInfo::FindUserID(std::string_view usrid) const {
    std::string item;
    try {
        std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
        auto it = FTessil_UserList.find(std::string(usrid));
        if (it != FTessil_UserList.end()) {
            const TClientRec& c = *it->second->Client();
            AppendFindUserItem(item, {c.FUsrID, c.FUserNick, c.FGCode});
        }
    } catch (const std::exception& e) {
        filelog::Write("FindUserID", e.what());
        item.clear();
    }
    return "[" + item + "]";
}

std::string TGameUserInfo::GetAllUserList() const {
    // Built in place under the registry's lock, which it holds for its whole length: no
    // string per user, and room for a typical item each reserved up front.
    constexpr size_t kTypicalItemBytes = 96;
    std::string list = "[";
    try {
        std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
        list.reserve(FTessil_UserList.size() * kTypicalItemBytes + 2);
        for (const auto& [id, usr] : FTessil_UserList) {
            if (!usr || !usr->Client() || usr->Client()->FShutdown) continue;
            const TClientRec& c = *usr->Client();
            if (list.size() > 1) list += ',';
            AppendUserListItem(list, {c.FUsrID, c.FUserNick, c.FGCode, c.FRoomNo, c.FGameStat});
        }
    } catch (const std::exception& e) {
        filelog::Write("GetAllUserList-2", e.what());
        list = "[";
    }
    list += ']';
    return list;
}

void TGameUserInfo::ClearAllData() {
    // Objects are released after the lock: their destructors touch only client records.
    TRoomMap rooms;
    TUserMap users;
    auto net = NetMesg();
    {
        std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
        // A chat may be fanning out to a room under its order lock alone.
        for (auto& [key, room] : FTessil_RoomList) {
            std::lock_guard<std::recursive_mutex> order(room->FOrderGuard);
            room->FUserList.clear();
        }
        rooms.swap(FTessil_RoomList);
        users.swap(FTessil_UserList);
        roomsByNo_.clear();
        seats_.clear();
        {
            std::unique_lock index(indexGuard_);
            usersByClient_.clear();
            roomOfClient_.clear();
        }
        // Each close is a scheduler entry 100 ms from now; nobody waits for it.
        if (net) {
            for (const auto& [id, usr] : users) net->Tessil_Disconnect_Client(usr->Client(), 100);
        }
    }
}

std::string TGameUserInfo::IndexMismatch() const {
    std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
    std::string out;
    if (usersByClient_.size() != FTessil_UserList.size()) out += "users by connection: count;";
    for (const auto& [id, usr] : FTessil_UserList) {
        auto it = usersByClient_.find(usr->Client().get());
        if (it == usersByClient_.end() || it->second != usr) out += "user " + id + ";";
    }
    if (roomsByNo_.size() != FTessil_RoomList.size()) out += "rooms by number: count;";
    size_t members = 0;
    for (const auto& [key, room] : FTessil_RoomList) {
        auto it = roomsByNo_.find(room->FRoomNo);
        if (it == roomsByNo_.end() || it->second != room) out += "room " + key + ";";
        members += room->FUserList.size();
        for (const auto& [id, member] : room->FUserList) {
            auto [first, last] = seats_.equal_range(id);
            bool found = false;
            for (auto s = first; s != last; ++s) found = found || s->second == room.get();
            if (!found) out += "seat " + id + ";";
            auto seat = roomOfClient_.find(member.Client.get());
            if (seat == roomOfClient_.end() || seat->second != room) out += "room of " + id + ";";
        }
    }
    if (seats_.size() != members) out += "seats: count;";
    if (roomOfClient_.size() != members) out += "rooms by connection: count;";
    for (const auto& [no, room] : roomsByNo_) {
        auto it = FTessil_RoomList.find(room->FMasterid);
        if (it == FTessil_RoomList.end() || it->second != room)
            out += "stray room " + room->FMasterid + " members " +
                   std::to_string(room->FUserList.size()) + ";";
    }
    return out;
}

}  // namespace tessil
