// The lobby registry's life cycle and user operations (login, logout, lists, clearing).
// Called from request workers, the disconnect event and the window thread.
#include "lobby/GameUserInfo.h"

#include <exception>
#include <vector>

#include "platform/AppLog.h"
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
        return FTessil_UserList.try_emplace(usr->Get_UserID(), usr).second;
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
        if (FTessil_UserList.count(std::string(usrid)) != 0) return false;
        auto usr =
            std::make_shared<TUserObject>(usrid, pass, tagId, gcode, name, nick, info, 0, client);
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

bool TGameUserInfo::IsListedClient(const TClientRecPtr& client) const {
    if (!client) return false;
    std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
    auto it = FTessil_UserList.find(client->FUsrID);
    return it != FTessil_UserList.end() && it->second->Client() == client;
}

TGameUserInfo::TLogoutResult TGameUserInfo::LogoutChecked(std::string_view usrid,
                                                          const TClientRec* requester,
                                                          std::string_view pass) {
    try {
        std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
        auto it = FTessil_UserList.find(std::string(usrid));
        if (it == FTessil_UserList.end()) return TLogoutResult::NotListed;
        if (it->second->Client().get() != requester && it->second->Get_Pasword() != pass)
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
        auto it = FTessil_UserList.find(usrid);
        if (it == FTessil_UserList.end() || it->second->Client() != client) {
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
            item = "{\"userid\":\"" + JsonEscape(c.FUsrID) + "\", \"nickname\":\"" +
                   JsonEscape(c.FUserNick) + "\", \"gcode\":\"" + JsonEscape(c.FGCode) + "\"}";
        }
    } catch (const std::exception& e) {
        filelog::Write("FindUserID", e.what());
        item.clear();
    }
    return "[" + item + "]";
}

std::string TGameUserInfo::GetAllUserList() const {
    std::string items;
    try {
        std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
        for (const auto& [id, usr] : FTessil_UserList) {
            if (!usr || !usr->Client() || usr->Client()->FShutdown) continue;
            const TClientRec& c = *usr->Client();
            if (!items.empty()) items += ',';
            items += "{\"userid\":\"" + JsonEscape(c.FUsrID) + "\", \"nickname\":\"" +
                     JsonEscape(c.FUserNick) + "\", \"gcode\":\"" + JsonEscape(c.FGCode) +
                     "\", \"roomno\":\"" + IntToAnsiStr(c.FRoomNo) +
                     "\", \"stat\":" + IntToAnsiStr(c.FGameStat) + "}";
        }
    } catch (const std::exception& e) {
        filelog::Write("GetAllUserList-2", e.what());
    }
    return "[" + items + "]";
}

void TGameUserInfo::ClearAllData() {
    // Objects are released after the lock: their destructors touch only client records.
    TRoomMap rooms;
    TUserMap users;
    auto net = NetMesg();
    {
        std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
        for (auto& [key, room] : FTessil_RoomList) room->FUserList.clear();
        rooms.swap(FTessil_RoomList);
        users.swap(FTessil_UserList);
        // Each close is a scheduler entry 100 ms from now; nobody waits for it.
        if (net) {
            for (const auto& [id, usr] : users) net->Tessil_Disconnect_Client(usr->Client(), 100);
        }
    }
}

}  // namespace tessil
