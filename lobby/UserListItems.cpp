// The user-list items and the USRMSG reading (see UserListItems.h). Pure functions.
#include "lobby/UserListItems.h"

#include "protocol/TextUtils.h"

namespace tessil {

namespace {

void appendIdentity(std::string& out, const TUserListEntry& user) {
    out += "{\"userid\":\"";
    AppendJsonEscaped(out, user.userid);
    out += "\", \"nickname\":\"";
    AppendJsonEscaped(out, user.nick);
    out += "\", \"gcode\":\"";
    AppendJsonEscaped(out, user.gcode);
    out += '"';
}

}  // namespace

void AppendFindUserItem(std::string& out, const TUserListEntry& user) {
    appendIdentity(out, user);
    out += '}';
}

void AppendUserListItem(std::string& out, const TUserListEntry& user) {
    appendIdentity(out, user);
    out += ", \"roomno\":\"";
    out += IntToAnsiStr(user.roomNo);
    out += "\", \"stat\":";
    out += IntToAnsiStr(user.gameStat);
    out += '}';
}

std::optional<TUserMessage> ReadUserMessage(std::string_view usrid, std::string_view mesg) {
    TUserMessage m{TrimAnsi(usrid), TrimAnsi(mesg)};
    if (m.to.empty() || m.text.empty()) return std::nullopt;
    return m;
}

}  // namespace tessil
