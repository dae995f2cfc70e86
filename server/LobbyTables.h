// The panel's tables of logged-in users and open rooms (JSON rows) and its Kick, over the
// command handler's registry; shared by the embedded lobby and the cluster lobby, which adds
// other nodes' rows. Any thread (Kick: the control thread).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "iocpengine/ClientRec.h"

namespace tessil {

class TCmdLineObject;

// One row of each table; `node` (cluster mode) names the process the row belongs to and is
// left out when empty.
struct TUserRow {
    std::string_view id, gcode;
    int32_t room = -2, state = 0;
    std::string_view address, since, node;
};
struct TRoomRow {
    int32_t number = 0;
    std::string_view master, subject;
    int32_t type = 0, state = 0;
    const std::vector<std::string>* members = nullptr;
    std::string_view node;
};
// {"id","gcode","room","state","address","since"[,"node"]}
std::string UserRowJson(const TUserRow& row);
// {"number","master","subject","type","state","members":[…][,"node"]}
std::string RoomRowJson(const TRoomRow& row);

// The registry's rows, comma-separated (no brackets); `skip` leaves records out (cluster
// stand-ins of other nodes' users).
std::string RegistryUserRows(TCmdLineObject& cmd, std::string_view node = {},
                             const std::function<bool(const TClientRec*)>& skip = {});
std::string RegistryRoomRows(TCmdLineObject& cmd, std::string_view node = {});

// The forced logout of the registry (leaving the room with its notices), then the
// connection closes as after a LOGOUT; false when the ID is not logged in.
bool KickUser(TCmdLineObject& cmd, const std::string& usrid);

}  // namespace tessil
