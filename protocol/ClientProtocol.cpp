// The command table and the two reply envelopes of the JSON client protocol.
// Stateless; called from any thread.
#include "protocol/ClientProtocol.h"

#include <array>
#include <span>
#include <utility>

#include "protocol/TextUtils.h"

namespace tessil {

namespace {

// Matched in this order; the first equal word gives the number. The fields are the
// members each command reads, as name:kind, for help texts and documentation.
constexpr std::array<TCommandInfo, 20> kCommands{{
    {"LOGIN", cmdLogin, "usrid:text pass:text gcode:text", "log in as a user ID"},
    {"LOGOUT", cmdLogout, "usrid:text pass:text",
     "log the named user out, then the connection closes"},
    {"LOGOUTREQ", cmdLogoutReq, "usrid:text pass:text", "LOGOUT with its own format error"},
    {"USRLIST", cmdUsrList, "", "list the logged-in users"},
    {"FINDUSER", cmdFindUser, "usrid:text", "look one user up"},
    {"MAKEROOM", cmdMakeRoom,
     "pass:text subject:text roomtype:OPEN|CLOSE roomterm:CONT|other gamecode:text",
     "make a room and become its master"},
    {"ENTERROOM", cmdEnterRoom, "roomNo:integer pass:text gamecode:text", "enter a room"},
    {"ROOMLIST", cmdRoomList, "roomNo:integer(-1=all)", "list every room (-1) or one room"},
    {"EXITROOM", cmdExitRoom, "roomNo:integer pass:text gamecode:text",
     "leave the room (0, empty, empty: whatever room you are in)"},
    {"USRMSGALL", cmdUsrMsgAll, "roomNo:integer mesg:text", "chat to your room"},
    {"USRMSG", cmdUsrMsg, "usrid:text mesg:text", "send one user a message"},
    {"USRDEF", cmdUsrDef, "roomNo:integer mesg:text", "chat to your room (numbered replies)"},
    {"REQSTART", cmdReqStart, "roomNo:integer pass:text gamecode:text", "master: start the game"},
    {"REQSTOP", cmdReqStop, "roomNo:integer pass:text gamecode:text", "master: stop the game"},
    {"REQRDY", cmdReqRdy, "roomNo:integer pass:text gamecode:text",
     "master: ask the members to get ready"},
    {"REQRESET", cmdReqReset, "", "master: reset the room's play"},
    {"READYOK", cmdReadyOk, "", "report: ready"},
    {"STARTOK", cmdStartOk, "", "report: playing"},
    {"ENDOK", cmdEndOk, "", "report: finished"},
    {"STOPOK", cmdStopOk, "", "report: stopped"},
}};

void appendHead(std::string& out, std::string_view cmd, std::string_view code) {
    out += R"({"cmd":")";
    AppendJsonEscaped(out, cmd);
    out += R"(","code":")";
    AppendJsonEscaped(out, code);
    out += R"(","data":)";
}

}  // namespace

int32_t CommandType(std::string_view word) {
    const std::string key = TrimControl(UpperAscii(word));
    for (const auto& c : kCommands) {
        if (key == c.word) return c.number;
    }
    return cmdNone;
}

std::span<const TCommandInfo> CommandTable() {
    return kCommands;
}

std::string MakeMsgForClient(std::string_view cmd, std::string_view code, std::string_view data) {
    std::string out;
    // Room for the escapes AppendJsonEscaped reserves, so that the text is not moved.
    out.reserve(40 + cmd.size() + code.size() + data.size() + data.size() / 8);
    appendHead(out, cmd, code);
    out += '"';
    AppendJsonEscaped(out, data);
    out += "\"}";
    return out;
}

std::string MakeArrayMsgForClient(std::string_view cmd, std::string_view code,
                                  std::string_view data) {
    std::string out;
    out.reserve(40 + cmd.size() + code.size() + data.size());
    appendHead(out, cmd, code);
    out += data;
    out += '}';
    return out;
}

}  // namespace tessil
