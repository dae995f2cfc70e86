// The command-line client's session: runs lines against a connection and prints every
// frame as it arrives. Single-threaded: one poll() loop over the line source and socket.
#include "client/CliSession.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>

#include "client/CliLine.h"
#include "protocol/MsgFrame.h"
#include "protocol/TextUtils.h"

namespace tessil {

namespace {

using Millis = std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

void printFrame(const Frame& f, const CliOutput& out) {
    switch (f.type) {
        case mtData:
            out("<< " + DecodeReply(f.body).text);
            break;
        case mtHandshake:
            out("<< handshake: " + f.body);
            break;
        case mtHeartbeat:
            out("<< heartbeat");
            break;
        case mtClientList:
        case mtClientListLast: {
            out(std::string("<< clientlist ") + (f.type == mtClientListLast ? "last " : "") +
                "chunk: " + std::to_string(f.body.size()) + " bytes");
            for (const auto& who : ParseClientList(f.body)) {
                out("<<   id=" + who.id + " user=" + who.user + " version=" + who.version);
            }
            break;
        }
        default:
            out("<< frame of kind " + std::to_string(f.type) + ", " +
                std::to_string(f.body.size()) + " bytes");
    }
}

class Session {
  public:
    Session(LobbyClient& client, const CliOptions& opt, const CliOutput& out)
        : client_(client), opt_(opt), out_(out) {}

    // Prints whatever has arrived, without waiting.
    void drain() {
        if (closed_) return;
        try {
            while (auto f = client_.ReadFrame(Millis(0))) show(*f);
        } catch (const ClientError& e) {
            noteError(e);
        }
    }

    // Prints frames as they arrive until one matches; false on time-out.
    template <class Match>
    bool waitPrint(Match match, int64_t ms) {
        const auto deadline = Clock::now() + Millis(ms);
        while (!closed_) {
            const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now());
            try {
                auto f = client_.ReadFrame(left.count() > 0 ? left : Millis(0));
                if (!f) return false;
                if (match(*f)) {
                    printFrame(*f, out_);
                    return true;
                }
                show(*f);
            } catch (const ClientError& e) {
                noteError(e);
            }
        }
        return false;
    }

    // The connection has ended (closed by the server or broken).
    bool closed() const { return closed_; }

    // Runs one line. False when the line failed (reported already).
    bool run(const CliLine& line) {
        const int64_t wait = line.millis > 0 ? line.millis : opt_.timeoutMs;
        switch (line.kind) {
            case CliLine::Kind::Empty:
                return true;
            case CliLine::Kind::Help:
                std::fputs(CliLineHelp().c_str(), stdout);
                return true;
            case CliLine::Kind::Error:
                out_("!! " + line.text);
                return false;
            case CliLine::Kind::Quit:
                quit_ = true;
                return true;
            case CliLine::Kind::Json:
                out_(">> " + line.text);
                client_.SendRequest(line.text);
                return true;
            case CliLine::Kind::Command: {
                const std::string json = BuildRequestJson(line.text, line.members);
                out_(">> " + json);
                client_.SendRequest(json);
                return true;
            }
            case CliLine::Kind::Raw:
                out_(">> raw " + std::to_string(line.bytes.size()) + " bytes");
                client_.SendRaw(line.bytes);
                return true;
            case CliLine::Kind::Heartbeat:
                out_(">> heartbeat");
                client_.SendFrame(mtHeartbeat, {});
                return expect([](const Frame& f) { return f.type == mtHeartbeat; }, wait,
                              "heartbeat echo");
            case CliLine::Kind::Handshake:
                out_(">> handshake id=" + line.who.id + " user=" + line.who.user);
                client_.SendFrame(mtHandshake, SerializeIdentity(line.who));
                return expect([](const Frame& f) { return f.type == mtHandshake; }, wait,
                              "handshake verdict");
            case CliLine::Kind::ClientList:
                out_(">> clientlist");
                client_.SendFrame(mtClientList, {});
                return expect([](const Frame& f) { return f.type == mtClientListLast; }, wait,
                              "client list");
            case CliLine::Kind::Wait: {
                const std::string want = UpperAscii(TrimControl(line.text));
                // A reply printed while earlier lines ran counts, once.
                for (auto it = seen_.begin(); it != seen_.end(); ++it) {
                    if (*it == want) {
                        seen_.erase(it);
                        return true;
                    }
                }
                return expect(
                    [&](const Frame& f) {
                        return f.type == mtData &&
                               UpperAscii(TrimControl(DecodeReply(f.body).cmd)) == want;
                    },
                    wait, line.text);
            }
            case CliLine::Kind::Sleep:
                waitPrint([](const Frame&) { return false; }, line.millis);
                return true;
        }
        return true;
    }

    bool quit() const { return quit_; }

  private:
    template <class Match>
    bool expect(Match match, int64_t ms, const std::string& what) {
        if (waitPrint(match, ms)) return true;
        if (!closed_) out_("!! no " + what + " within " + std::to_string(ms) + " ms");
        return false;
    }

    // Prints a frame no wait asked for and remembers a data frame's cmd for later waits.
    void show(const Frame& f) {
        printFrame(f, out_);
        if (f.type == mtData) seen_.push_back(UpperAscii(TrimControl(DecodeReply(f.body).cmd)));
    }

    void noteError(const ClientError& e) {
        out_(std::string("!! ") + e.what());
        closed_ = true;
    }

    LobbyClient& client_;
    const CliOptions& opt_;
    const CliOutput& out_;
    bool quit_ = false;
    bool closed_ = false;
    std::deque<std::string> seen_;  // cmds of data frames not yet taken by a wait
};

// Runs the lines of fd; returns the exit status.
int runLines(int fd, LobbyClient& client, const CliOptions& opt, const CliOutput& out) {
    Session session(client, opt, out);
    const bool interactive = opt.interactive;
    std::string pending;
    bool eof = false;
    while (!eof) {
        // Once the connection has ended only the lines are watched.
        pollfd fds[2] = {{fd, POLLIN, 0}, {session.closed() ? -1 : client.Fd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            out(std::string("!! poll: ") + std::strerror(errno));
            return 1;
        }
        if (fds[1].revents != 0) session.drain();
        if (interactive && session.closed()) return 0;
        if (fds[0].revents == 0) continue;
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) {
            eof = true;
        } else {
            pending.append(buf, static_cast<size_t>(n));
        }
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos || (eof && !pending.empty())) {
            const std::string line = nl == std::string::npos ? pending : pending.substr(0, nl);
            pending.erase(0, nl == std::string::npos ? pending.size() : nl + 1);
            session.drain();
            const bool ok = session.run(ParseCliLine(line));
            if (session.quit()) return 0;
            if (!ok && !interactive) return 1;
        }
    }
    session.waitPrint([](const Frame&) { return false; }, opt.lingerMs);
    return 0;
}

}  // namespace

int RunCliLines(int fd, LobbyClient& client, const CliOptions& opt, const CliOutput& out) {
    try {
        return runLines(fd, client, opt, out);
    } catch (const ClientError& e) {
        // A line needed the connection after it had ended.
        out(std::string("!! ") + e.what());
        return 1;
    }
}

}  // namespace tessil
