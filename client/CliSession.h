// The command-line client's session: the lines of a script or a terminal run against one
// connection, with every reply and event printed as it arrives. One thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "client/LobbyClient.h"

namespace tessil {

struct CliOptions {
    int64_t timeoutMs = 5000;  // wait, heartbeat, handshake and clientlist
    int64_t lingerMs = 300;    // printing goes on this long after the last line
    bool interactive = false;  // a failed line does not end the session
};

// Receives each printed line, without its line end.
using CliOutput = std::function<void(const std::string&)>;

// Runs the lines read from fd until its end or "quit". Returns 0 when every line ran, 1
// when a line failed in a non-interactive session (which then stops) or the connection
// was needed after it had ended (ClientError is caught and printed as "!! ...").
int RunCliLines(int fd, LobbyClient& client, const CliOptions& opt, const CliOutput& out);

}  // namespace tessil
