// The command-line client's session: runs lines against a connection and prints every
// frame as it arrives. Single-threaded: one poll() loop over the line source and socket.
#include "client/CliSession.h"

#include <poll.h>
#include <rapidjson/document.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <set>

#include "client/CliLine.h"
#include "protocol/ClientProtocol.h"
#include "protocol/MsgFrame.h"
#include "protocol/TextUtils.h"

namespace tessil {

namespace {

using Millis = std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// "hh:mm:ss.mmm " of the local time.
std::string timeStamp() {
    timeval tv{};
    ::gettimeofday(&tv, nullptr);
    tm local{};
    ::localtime_r(&tv.tv_sec, &local);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d ", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(tv.tv_usec / 1000));
    return buf;
}

std::string canonical(std::string_view cmd) {
    return UpperAscii(TrimControl(cmd));
}

// The cmds that answer a request: its own word, plus the other word some commands answer
// with. Empty for a word the server does not answer (an unknown one after login).
std::set<std::string> expectedReplies(std::string_view json) {
    rapidjson::Document doc;
    doc.Parse(json.data(), json.size());
    if (doc.HasParseError() || !doc.IsObject()) return {"SYNTAX"};
    const rapidjson::Value& root = doc;
    const auto it = root.FindMember("cmd");
    if (it == root.MemberEnd()) return {"SYNTAX"};
    if (!it->value.IsString()) return {};
    const std::string word = canonical(it->value.GetString());
    switch (CommandType(word)) {
        case cmdNone:
            return word.empty() ? std::set<std::string>{""} : std::set<std::string>{};
        case cmdLogout:
        case cmdLogoutReq:
            return {"LOGIN", "LOGOUT"};
        case cmdReqReset:
            return {word, "RESETGAME"};
        default:
            return {word};
    }
}

void printFrame(const Frame& f, const CliOutput& out, bool stamp) {
    const std::string head = "<< " + (stamp ? timeStamp() : std::string());
    switch (f.type) {
        case mtData:
            out(head + DecodeReply(f.body).text);
            break;
        case mtHandshake:
            out(head + "handshake: " + f.body);
            break;
        case mtHeartbeat:
            out(head + "heartbeat");
            break;
        case mtClientList:
        case mtClientListLast: {
            out(head + "clientlist " + (f.type == mtClientListLast ? "last " : "") +
                "chunk: " + std::to_string(f.body.size()) + " bytes");
            for (const auto& who : ParseClientList(f.body)) {
                out("<<   id=" + who.id + " user=" + who.user + " version=" + who.version);
            }
            break;
        }
        default:
            out(head + "frame of kind " + std::to_string(f.type) + ", " +
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
                    printFrame(*f, out_, opt_.timestamps);
                    if (f->type == mtData) settle(DecodeReply(f->body).cmd);
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
            case CliLine::Kind::Help: {
                const std::string help = CliLineHelp(line.text);
                for (size_t at = 0, nl; (nl = help.find('\n', at)) != std::string::npos;
                     at = nl + 1) {
                    out_(help.substr(at, nl - at));
                }
                return true;
            }
            case CliLine::Kind::Error:
                out_("!! " + line.text);
                return false;
            case CliLine::Kind::Quit:
                quit_ = true;
                return true;
            case CliLine::Kind::Json:
                send(line.text);
                return true;
            case CliLine::Kind::Command:
                send(BuildRequestJson(line.text, line.members));
                return true;
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

    // Prints what arrives until every request sent has had its reply. False (reported)
    // when some reply is still missing after the time-out.
    bool awaitReplies() {
        if (due_.empty() || closed_) return true;
        waitPrint([this](const Frame&) { return due_.empty(); }, opt_.timeoutMs);
        if (due_.empty() || closed_) return true;
        out_("!! no reply to " + *due_.front().begin() + " within " +
             std::to_string(opt_.timeoutMs) + " ms");
        return false;
    }

  private:
    void send(const std::string& json) {
        out_(">> " + json);
        client_.SendRequest(json);
        auto want = expectedReplies(json);
        if (!want.empty()) due_.push_back(std::move(want));
    }

    // A reply or event with this cmd arrived: the oldest request it answers is settled.
    void settle(std::string_view cmd) {
        const std::string c = canonical(cmd);
        for (auto it = due_.begin(); it != due_.end(); ++it) {
            if (it->count(c) != 0) {
                due_.erase(it);
                return;
            }
        }
    }

    template <class Match>
    bool expect(Match match, int64_t ms, const std::string& what) {
        if (waitPrint(match, ms)) return true;
        if (!closed_) out_("!! no " + what + " within " + std::to_string(ms) + " ms");
        return false;
    }

    // Prints a frame no wait asked for and remembers a data frame's cmd for later waits.
    void show(const Frame& f) {
        printFrame(f, out_, opt_.timestamps);
        if (f.type != mtData) return;
        const std::string cmd = DecodeReply(f.body).cmd;
        seen_.push_back(canonical(cmd));
        settle(cmd);
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
    std::deque<std::string> seen_;           // cmds of data frames not yet taken by a wait
    std::deque<std::set<std::string>> due_;  // per request sent: the cmds that answer it
};

// Lines read from a descriptor (a script file, a pipe).
class FdLineSource : public CliLineSource {
  public:
    explicit FdLineSource(int fd) : fd_(fd) {}
    int Fd() const override { return fd_; }
    bool Read(std::vector<std::string>& lines) override {
        char buf[4096];
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
        const bool eof = n <= 0;
        if (!eof) pending_.append(buf, static_cast<size_t>(n));
        for (size_t nl; (nl = pending_.find('\n')) != std::string::npos;) {
            lines.push_back(pending_.substr(0, nl));
            pending_.erase(0, nl + 1);
        }
        if (eof && !pending_.empty()) lines.push_back(std::move(pending_));
        return !eof;
    }

  private:
    int fd_;
    std::string pending_;
};

// Runs the lines of the source; returns the exit status.
int runLines(CliLineSource& source, LobbyClient& client, const CliOptions& opt,
             const CliOutput& out) {
    Session session(client, opt, out);
    const bool interactive = opt.interactive;
    bool more = true;
    while (more) {
        // Once the connection has ended only the lines are watched.
        pollfd fds[2] = {{source.Fd(), POLLIN, 0},
                         {session.closed() ? -1 : client.Fd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            out(std::string("!! poll: ") + std::strerror(errno));
            return 1;
        }
        if (fds[1].revents != 0) session.drain();
        if (interactive && session.closed()) return 0;
        if (fds[0].revents == 0) continue;
        std::vector<std::string> lines;
        more = source.Read(lines);
        for (const auto& line : lines) {
            session.drain();
            const bool ok = session.run(ParseCliLine(line));
            if (session.quit()) return session.awaitReplies() || interactive ? 0 : 1;
            if (!ok && !interactive) return 1;
        }
    }
    if (!session.awaitReplies() && !interactive) return 1;
    session.waitPrint([](const Frame&) { return false; }, opt.lingerMs);
    return 0;
}

}  // namespace

int RunCliLines(int fd, LobbyClient& client, const CliOptions& opt, const CliOutput& out) {
    FdLineSource source(fd);
    return RunCliSession(source, client, opt, out);
}

int RunCliSession(CliLineSource& source, LobbyClient& client, const CliOptions& opt,
                  const CliOutput& out) {
    try {
        return runLines(source, client, opt, out);
    } catch (const ClientError& e) {
        // A line needed the connection after it had ended.
        out(std::string("!! ") + e.what());
        return 1;
    }
}

}  // namespace tessil
