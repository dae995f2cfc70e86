// The panel's tables and Kick over the registry (see LobbyTables.h).
#include "server/LobbyTables.h"

#include "lobby/GameUserInfo.h"
#include "lobby/RoomObject.h"
#include "lobby/UserObject.h"
#include "platform/LogText.h"
#include "protocol/TextUtils.h"
#include "server/CmdLineObject.h"

namespace tessil {

namespace {

std::string NodeMember(std::string_view node) {
    return node.empty() ? std::string() : ",\"node\":\"" + JsonEscape(node) + "\"";
}

}  // namespace

std::string UserRowJson(const TUserRow& row) {
    return "{\"id\":\"" + JsonEscape(row.id) + "\",\"gcode\":\"" + JsonEscape(row.gcode) +
           "\",\"room\":" + std::to_string(row.room) + ",\"state\":" + std::to_string(row.state) +
           ",\"address\":\"" + JsonEscape(row.address) + "\",\"since\":\"" + JsonEscape(row.since) +
           "\"" + NodeMember(row.node) + "}";
}

std::string RoomRowJson(const TRoomRow& row) {
    std::string out = "{\"number\":" + std::to_string(row.number) + ",\"master\":\"" +
                      JsonEscape(row.master) + "\",\"subject\":\"" + JsonEscape(row.subject) +
                      "\",\"type\":" + std::to_string(row.type) +
                      ",\"state\":" + std::to_string(row.state) + ",\"members\":[";
    bool first = true;
    if (row.members) {
        for (const auto& member : *row.members) {
            if (!first) out += ',';
            first = false;
            out += '"' + JsonEscape(member) + '"';
        }
    }
    return out + "]" + NodeMember(row.node) + "}";
}

std::string RegistryUserRows(TCmdLineObject& cmd, std::string_view node,
                             const std::function<bool(const TClientRec*)>& skip) {
    std::string out;
    cmd.GameInfo().WithLock([&](const auto& users, const auto&) {
        for (const auto& [id, usr] : users) {
            const TClientRec& c = *usr->Client();
            if (skip && skip(&c)) continue;
            if (!out.empty()) out += ',';
            const std::string address = c.FAddress + ":" + c.FPort;
            const std::string since = logtext::UtcStamp(c.FConnectedAt);
            const std::string gcode = c.FGCode;
            out += UserRowJson(
                {id, gcode, c.FRoomNo.load(), c.FGameStat.load(), address, since, node});
        }
    });
    return out;
}

std::string RegistryRoomRows(TCmdLineObject& cmd, std::string_view node) {
    std::string out;
    cmd.GameInfo().WithLock([&](const auto&, const auto& rooms) {
        for (const auto& [key, room] : rooms) {
            std::vector<std::string> members;
            for (const auto& [member, rec] : room->FUserList) members.push_back(member);
            if (!out.empty()) out += ',';
            out += RoomRowJson({room->FRoomNo, room->FMasterid, room->FSubject, room->FRoomType,
                                room->FRoomState, &members, node});
        }
    });
    return out;
}

bool KickUser(TCmdLineObject& cmd, const std::string& usrid) {
    auto usr = cmd.GameInfo().GetUser(usrid);
    if (!usr || !cmd.GameInfo().LogoutUser(usrid)) return false;
    cmd.Disconnect(usr->Client(), 500);
    return true;
}

}  // namespace tessil
