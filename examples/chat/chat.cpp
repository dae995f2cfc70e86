// tessil-chat: a console chat client. Logs in, then reads lines from the terminal:
//   /rooms  /make SUBJECT  /join ROOMNO  /leave  /who  /quit, anything else is said in the room.
// One thread: poll() over standard input and the client's socket.
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "client/AsyncLobbyClient.h"

namespace {

using tessil::AsyncLobbyClient;
using tessil::Reply;
using tessil::RequestMember;

RequestMember text(const char* name, std::string value) {
    return {name, std::move(value), false};
}
RequestMember number(const char* name, std::string digits) {
    return {name, std::move(digits), true};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: tessil-chat HOST PORT NAME\n");
        return 2;
    }
    AsyncLobbyClient::Options opt;
    opt.host = argv[1];
    opt.port = static_cast<uint16_t>(std::atoi(argv[2]));
    opt.usrid = argv[3];
    opt.gcode = "CHAT";
    AsyncLobbyClient client(opt);
    std::string room = "0";
    client.OnReply([&](const Reply& r) {
        if ((r.cmd == "MAKEROOM" && r.code == "E000")) room = r.data;
        if (r.cmd == "DELROOM" || (r.cmd == "EXITROOM" && r.code == "E000"))
            room.assign(1, '0');  // not = "0": GCC 12 -O3 warns falsely (-Wrestrict)
        std::printf("[%s] %s\n", r.cmd.c_str(), r.data.c_str());
        std::fflush(stdout);
    });
    client.OnState([](AsyncLobbyClient::State s, const std::string& why) {
        if (s == AsyncLobbyClient::State::Ready) std::printf("* connected\n");
        if (s == AsyncLobbyClient::State::Waiting)
            std::printf("* lost (%s), retrying\n", why.c_str());
        std::fflush(stdout);
    });
    client.Start();

    std::string pending;
    bool eof = false;
    while (!eof) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {client.Fd(), client.Events(), 0}};
        ::poll(fds, 2, 50);
        client.Poll();
        if ((fds[0].revents & (POLLIN | POLLHUP)) == 0) continue;
        char buf[1024];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) break;
        pending.append(buf, static_cast<size_t>(n));
        for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
            const std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            const std::string arg =
                line.find(' ') == std::string::npos ? "" : line.substr(line.find(' ') + 1);
            if (line == "/quit") {
                eof = true;
                break;
            } else if (line == "/rooms") {
                client.SendCommand("ROOMLIST", {number("roomNo", "-1")});
            } else if (line == "/who") {
                client.SendCommand("USRLIST");
            } else if (line.rfind("/make ", 0) == 0) {
                client.SendCommand(
                    "MAKEROOM", {text("pass", ""), text("subject", arg), text("roomtype", "OPEN"),
                                 text("roomterm", "CONT"), text("gamecode", "CHAT")});
            } else if (line.rfind("/join ", 0) == 0) {
                room = arg;
                client.SendCommand("ENTERROOM", {number("roomNo", arg), text("pass", ""),
                                                 text("gamecode", "CHAT")});
            } else if (line == "/leave") {
                client.SendCommand("EXITROOM",
                                   {number("roomNo", "0"), text("pass", ""), text("gamecode", "")});
            } else if (!line.empty()) {
                // Chat events do not name the sender, so the name goes into the text.
                client.SendCommand("USRMSGALL",
                                   {number("roomNo", room), text("mesg", opt.usrid + ": " + line)});
            }
        }
    }
    // Let what was typed last go out before leaving.
    for (int i = 0; i < 20 && client.GetState() == AsyncLobbyClient::State::Ready; ++i) {
        client.PollFor(std::chrono::milliseconds(10));
    }
    return 0;
}
