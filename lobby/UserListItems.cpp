// The user-list items and the USRMSG reading (see UserListItems.h). Pure functions.
#include "lobby/UserListItems.h"

#include "protocol/TextUtils.h"

namespace tessil {

std::string FindUserItem(const TUserListEntry& user) {
    return "{\"userid\":\"" + JsonEscape(user.userid) + "\", \"nickname\":\"" +
           JsonEscape(user.nick) + "\", \"gcode\":\"" + JsonEscape(user.gcode) + "\"}";
}

std::string UserListItem(const TUserListEntry& user) {
    std::string item = FindUserItem(user);
    item.pop_back();
    return item + ", \"roomno\":\"" + IntToAnsiStr(user.roomNo) +
           "\", \"stat\":" + IntToAnsiStr(user.gameStat) + "}";
}

std::optional<TUserMessage> ReadUserMessage(std::string_view usrid, std::string_view mesg) {
    TUserMessage m{TrimAnsi(usrid), TrimAnsi(mesg)};
    if (m.to.empty() || m.text.empty()) return std::nullopt;
    return m;
}

}  // namespace tessil
