// The line language of the command-line client: one typed or scripted line becomes a
// request, a protocol action (heartbeat, handshake, client list), a wait or a control
// word. Stateless; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "client/Messages.h"

namespace tessil {

struct CliLine {
    enum class Kind {
        Empty,       // blank line or # comment
        Json,        // raw JSON request: text
        Command,     // text = command word, members
        Heartbeat,   // one heartbeat round trip
        Handshake,   // who
        ClientList,  // ask for the client list
        Wait,        // text = cmd to wait for, millis (0: the default time-out)
        Sleep,       // millis: keep printing what arrives
        Raw,         // bytes sent as they stand
        Quit,
        Help,   // text = the command asked about, or empty
        Error,  // text = what is wrong with the line
    };
    Kind kind = Kind::Empty;
    std::string text;
    std::vector<RequestMember> members;
    ClientIdentity who;
    int64_t millis = 0;
    std::string bytes;
};

// LOGIN usrid=kim pass=1 gcode=G1   -> {"cmd":"LOGIN","usrid":"kim","pass":1,"gcode":"G1"}
// Values that look like integers become JSON numbers; a quoted value ("1", "a b") stays
// a string, with \" and \\ inside quotes.
CliLine ParseCliLine(std::string_view line);

// True for -?(0|[1-9][0-9]*): such a value is sent as a JSON number.
bool LooksLikeInteger(std::string_view value);

// The help text: the server's commands (from the server's command table) and the line
// language; with a topic, that command's fields.
std::string CliLineHelp(std::string_view topic = {});

}  // namespace tessil
