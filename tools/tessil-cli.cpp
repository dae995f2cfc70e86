// tessil-cli: interactive and scriptable command-line client of the lobby server.
// Single-threaded: one poll() loop over the line source and the connection.
#include <poll.h>
#include <unistd.h>

#include <fcntl.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>

#include "client/CliLine.h"
#include "client/LobbyClient.h"
#include "protocol/MsgFrame.h"
#include "protocol/TextUtils.h"

namespace {

using namespace tessil;
using Millis = std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr const char* kUsage = R"(usage: tessil-cli [options] HOST:PORT

Connects to the lobby server and sends one request per line, read from a script file,
from standard input, or typed. Prints every reply and event as it arrives.

options:
  --script FILE   read lines from FILE ("-" for standard input, the default)
  --timeout MS    how long wait, heartbeat, handshake and clientlist wait (default 5000)
  --linger MS     after the last line, keep printing for MS milliseconds (default 300)
  --help          this text

exit status: 0 done, 1 a wait timed out or a line failed (scripts stop there),
             2 bad usage, 3 cannot connect

)";

struct Options {
    std::string target;
    std::string script = "-";
    int64_t timeout = 5000;
    int64_t linger = 300;
};

void out(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void printFrame(const Frame& f) {
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
    Session(LobbyClient& client, const Options& opt) : client_(client), opt_(opt) {}

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
                    printFrame(*f);
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
        const int64_t wait = line.millis > 0 ? line.millis : opt_.timeout;
        switch (line.kind) {
            case CliLine::Kind::Empty:
                return true;
            case CliLine::Kind::Help:
                std::fputs(CliLineHelp().c_str(), stdout);
                return true;
            case CliLine::Kind::Error:
                out("!! " + line.text);
                return false;
            case CliLine::Kind::Quit:
                quit_ = true;
                return true;
            case CliLine::Kind::Json:
                out(">> " + line.text);
                client_.SendRequest(line.text);
                return true;
            case CliLine::Kind::Command: {
                const std::string json = BuildRequestJson(line.text, line.members);
                out(">> " + json);
                client_.SendRequest(json);
                return true;
            }
            case CliLine::Kind::Raw:
                out(">> raw " + std::to_string(line.bytes.size()) + " bytes");
                client_.SendRaw(line.bytes);
                return true;
            case CliLine::Kind::Heartbeat:
                out(">> heartbeat");
                client_.SendFrame(mtHeartbeat, {});
                return expect([](const Frame& f) { return f.type == mtHeartbeat; }, wait,
                              "heartbeat echo");
            case CliLine::Kind::Handshake:
                out(">> handshake id=" + line.who.id + " user=" + line.who.user);
                client_.SendFrame(mtHandshake, SerializeIdentity(line.who));
                return expect([](const Frame& f) { return f.type == mtHandshake; }, wait,
                              "handshake verdict");
            case CliLine::Kind::ClientList:
                out(">> clientlist");
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
        if (!closed_) out("!! no " + what + " within " + std::to_string(ms) + " ms");
        return false;
    }

    // Prints a frame no wait asked for and remembers a data frame's cmd for later waits.
    void show(const Frame& f) {
        printFrame(f);
        if (f.type == mtData) seen_.push_back(UpperAscii(TrimControl(DecodeReply(f.body).cmd)));
    }

    void noteError(const ClientError& e) {
        out(std::string("!! ") + e.what());
        closed_ = true;
    }

    LobbyClient& client_;
    const Options& opt_;
    bool quit_ = false;
    bool closed_ = false;
    std::deque<std::string> seen_;  // cmds of data frames not yet taken by a wait
};

bool parseArgs(int argc, char** argv, Options& opt) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](int64_t& into) {
            if (i + 1 >= argc) return false;
            char* end = nullptr;
            into = std::strtoll(argv[++i], &end, 10);
            return *end == '\0' && into >= 0;
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::fputs(CliLineHelp().c_str(), stdout);
            std::exit(0);
        } else if (a == "--script") {
            if (i + 1 >= argc) return false;
            opt.script = argv[++i];
        } else if (a == "--timeout") {
            if (!value(opt.timeout)) return false;
        } else if (a == "--linger") {
            if (!value(opt.linger)) return false;
        } else if (!a.empty() && a[0] == '-') {
            return false;
        } else if (opt.target.empty()) {
            opt.target = a;
        } else {
            return false;
        }
    }
    return !opt.target.empty();
}

// Runs the lines of fd; returns the exit status.
int runLines(int fd, LobbyClient& client, const Options& opt) {
    Session session(client, opt);
    const bool interactive = ::isatty(fd) != 0;
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
    session.waitPrint([](const Frame&) { return false; }, opt.linger);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!parseArgs(argc, argv, opt)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    int fd = STDIN_FILENO;
    if (opt.script != "-") {
        fd = ::open(opt.script.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            std::fprintf(stderr, "tessil-cli: cannot open %s: %s\n", opt.script.c_str(),
                         std::strerror(errno));
            return 2;
        }
    }
    LobbyClient client;
    try {
        client.Connect(opt.target, Millis(opt.timeout));
    } catch (const ClientError& e) {
        std::fprintf(stderr, "tessil-cli: %s\n", e.what());
        return 3;
    }
    if (::isatty(fd)) out("connected to " + opt.target + "; type help for the line language");
    try {
        return runLines(fd, client, opt);
    } catch (const ClientError& e) {
        // A line needed the connection after it had ended.
        out(std::string("!! ") + e.what());
        return 1;
    }
}
