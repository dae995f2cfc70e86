// The messages nodes send each other over Redis pub/sub: a kind letter and a list of
// binary-safe fields ("<length>:<bytes>" each). Pure functions, any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessil::cluster {

// What a node asks of another. Every message names its sender node in its first field.
enum class WireKind : char {
    Deliver = 'D',        // a frame for a user of the receiving node: from, user, frame
    RoomFrame = 'F',      // as Deliver, from the node that owns the user's room: from, user, frame,
                          // and the request id when the frame answers a forwarded request
    Forward = 'R',        // a request of a user to run on the room's node: from, user, pass, tag,
                          // gcode, name, nick, info, request id, body
    Done = 'S',           // the forwarded request ran: from, user, request id, room no, game stat
    State = 'T',          // a user's room and game state changed on the room's node: from, user,
                          // room no, game stat
    Logout = 'L',         // the user left its home node: drop its seat here: from, user
    Resync = 'Y',         // after Redis came back: the room's node tells the user's node where
                          // the user sits, as messages may have been lost: from, user, room, stat
    LogoutAsk = 'O',      // LOGOUT of a user of the receiving node, decided there (password,
                          // the ID's lock): from, user, pass, request id
    LogoutVerdict = 'V',  // its verdict: from, request id, verdict (TLogoutResult's value)
    Kick = 'K',           // the operator's Kick of a user of the receiving node: from, user
    Adopted = 'A',        // the room of a dead node now lives on the sender, with the user (of the
                          // receiving node) as a member: from, dead node, room no, user
    RoomImage = 'I',      // not a message: a room as the directory keeps it for a take-over
                          // (see ClusterRooms.cpp)
};

struct WireMessage {
    WireKind kind = WireKind::Deliver;
    std::vector<std::string> fields;
};

std::string EncodeWire(WireKind kind, const std::vector<std::string_view>& fields);
// Nothing for a malformed message (unknown kind, bad length, trailing bytes).
std::optional<WireMessage> DecodeWire(std::string_view text);
// A number field; fallback when it is not one.
int32_t WireInt(const std::string& field, int32_t fallback);

}  // namespace tessil::cluster
