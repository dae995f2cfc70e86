// The command table and the two reply envelopes of the JSON client protocol.
// Stateless; called from any thread.
#include "protocol/ClientProtocol.h"

#include <array>
#include <utility>

#include "protocol/TextUtils.h"

namespace tessil {

namespace {

// Matched in this order; the first equal word gives the number.
constexpr std::array<std::pair<std::string_view, TCommand>, 20> kCommands{{
    {"LOGIN", cmdLogin},         {"LOGOUT", cmdLogout},     {"LOGOUTREQ", cmdLogoutReq},
    {"USRLIST", cmdUsrList},     {"FINDUSER", cmdFindUser}, {"MAKEROOM", cmdMakeRoom},
    {"ENTERROOM", cmdEnterRoom}, {"ROOMLIST", cmdRoomList}, {"EXITROOM", cmdExitRoom},
    {"USRMSGALL", cmdUsrMsgAll}, {"USRMSG", cmdUsrMsg},     {"USRDEF", cmdUsrDef},
    {"REQSTART", cmdReqStart},   {"REQSTOP", cmdReqStop},   {"REQRDY", cmdReqRdy},
    {"REQRESET", cmdReqReset},   {"READYOK", cmdReadyOk},   {"STARTOK", cmdStartOk},
    {"ENDOK", cmdEndOk},         {"STOPOK", cmdStopOk},
}};

void appendHead(std::string& out, std::string_view cmd, std::string_view code) {
    out += R"({"cmd":")";
    out += JsonEscape(cmd);
    out += R"(","code":")";
    out += JsonEscape(code);
    out += R"(","data":)";
}

}  // namespace

int32_t CommandType(std::string_view word) {
    const std::string key = TrimControl(UpperAscii(word));
    for (const auto& [name, number] : kCommands) {
        if (key == name) return number;
    }
    return cmdNone;
}

std::string MakeMsgForClient(std::string_view cmd, std::string_view code, std::string_view data) {
    std::string out;
    out.reserve(40 + cmd.size() + code.size() + data.size());
    appendHead(out, cmd, code);
    out += '"';
    out += JsonEscape(data);
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
