// The user-list items as clients read them (USRLIST's and FINDUSER's) and the reading of a
// USRMSG's addressee and text, shared by the lobby's registry and the cluster's directory so
// that both answer alike. Pure functions, any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessil {

// One logged-in user as the lists show it.
struct TUserListEntry {
    std::string_view userid, nick, gcode;
    int32_t roomNo = -2;
    int32_t gameStat = 0;
};

// Appends {"userid":"..", "nickname":"..", "gcode":"..", "roomno":"..", "stat":n}. Written
// in place: a list of thousands of users is built without a string per user.
void AppendUserListItem(std::string& out, const TUserListEntry& user);
// Appends {"userid":"..", "nickname":"..", "gcode":".."}.
void AppendFindUserItem(std::string& out, const TUserListEntry& user);

// A USRMSG's addressee and text as the lobby reads them (trimmed); nothing when either is
// empty, which the lobby answers as a message it cannot send.
struct TUserMessage {
    std::string to, text;
};
std::optional<TUserMessage> ReadUserMessage(std::string_view usrid, std::string_view mesg);

}  // namespace tessil
