// The user-list items and the USRMSG reading (see UserListItems.h). Pure functions.
#include "lobby/UserListItems.h"

#include <charconv>

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

void appendInt(std::string& out, int32_t n) {
    char buf[16];
    const auto end = std::to_chars(buf, buf + sizeof buf, n).ptr;
    out.append(buf, end);
}

}  // namespace

void AppendFindUserItem(std::string& out, const TUserListEntry& user) {
    appendIdentity(out, user);
    out += '}';
}

void AppendUserListItem(std::string& out, const TUserListEntry& user) {
    appendIdentity(out, user);
    out += ", \"roomno\":\"";
    appendInt(out, user.roomNo);
    out += "\", \"stat\":";
    appendInt(out, user.gameStat);
    out += '}';
}

std::optional<TUserMessage> ReadUserMessage(std::string_view usrid, std::string_view mesg) {
    TUserMessage m{TrimAnsi(usrid), TrimAnsi(mesg)};
    if (m.to.empty() || m.text.empty()) return std::nullopt;
    return m;
}

}  // namespace tessil
