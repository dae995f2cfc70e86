// The command-line client's session: the lines of a script or a terminal run against one
// connection, with every reply and event printed as it arrives. One thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "client/LobbyClient.h"

namespace tessil {

struct CliOptions {
    int64_t timeoutMs = 5000;  // wait, heartbeat, handshake and clientlist
    int64_t lingerMs = 300;    // printing goes on this long after the last line
    bool interactive = false;  // a failed line does not end the session
    bool timestamps = true;    // received frames are printed with the local time
};

// Where typed lines come from: a descriptor to poll and a read of what is ready.
class CliLineSource {
  public:
    virtual ~CliLineSource() = default;
    virtual int Fd() const = 0;
    // Appends the complete lines that are ready; false at the end of the input.
    virtual bool Read(std::vector<std::string>& lines) = 0;
};

// Receives each printed line, without its line end.
using CliOutput = std::function<void(const std::string&)>;

// Runs the lines of the source until its end or "quit", then waits (up to the time-out)
// for the replies still due to the requests sent. Returns 0 when every line ran, 1 when a
// line failed or a reply did not come in a non-interactive session (which then stops), or
// the connection was needed after it had ended (printed as "!! ...").
int RunCliSession(CliLineSource& source, LobbyClient& client, const CliOptions& opt,
                  const CliOutput& out);
// The same over the lines read from fd.
int RunCliLines(int fd, LobbyClient& client, const CliOptions& opt, const CliOutput& out);

}  // namespace tessil
