// tessil-bot: plays one game of the lobby's game flow and exits 0 when it is over.
// The maker (--make) opens a room and leads the game; a joiner (--join) finds a room,
// enters it and follows. Uses the non-blocking client in a game loop on one thread.
#include <chrono>
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
RequestMember number(const char* name, const std::string& digits) {
    return {name, digits, true};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 || (std::string(argv[4]) != "--make" && std::string(argv[4]) != "--join")) {
        std::fprintf(stderr, "usage: tessil-bot HOST PORT NAME --make|--join\n");
        return 2;
    }
    const std::string me = argv[3];
    const bool maker = std::string(argv[4]) == "--make";
    AsyncLobbyClient::Options opt;
    opt.host = argv[1];
    opt.port = static_cast<uint16_t>(std::atoi(argv[2]));
    opt.usrid = me;
    opt.pass = "bot";
    opt.gcode = "BOT";
    AsyncLobbyClient client(opt);

    std::string room;  // the room's number once known
    bool done = false;
    bool wantList = false;  // a joiner looks for a room again at the next tick
    int failures = 0;
    auto game = [&](const char* cmd) {
        client.SendCommand(cmd,
                           {number("roomNo", room), text("pass", ""), text("gamecode", "BOT")});
    };
    client.OnReply([&](const Reply& r) {
        std::printf("%s << %s\n", me.c_str(), r.text.c_str());
        if (r.code != "E000") ++failures;
        if (r.cmd == "LOGIN" && r.code == "E000") {
            if (maker) {
                client.SendCommand("MAKEROOM", {text("pass", ""), text("subject", "bot game"),
                                                text("roomtype", "OPEN"), text("roomterm", "CONT"),
                                                text("gamecode", "BOT")});
            } else {
                client.SendCommand("ROOMLIST", {number("roomNo", "-1")});
            }
        } else if (r.cmd == "MAKEROOM" && r.code == "E000") {
            room = r.data;
        } else if (r.cmd == "ROOMLIST") {
            // The list is JSON; the first room's number is the first quoted digits after roomNo.
            const size_t at = r.data.find("\"roomNo\":\"");
            if (at == std::string::npos) {
                wantList = true;  // not made yet
            } else {
                room = r.data.substr(at + 10, r.data.find('"', at + 10) - at - 10);
                game("ENTERROOM");
            }
        } else if (r.cmd == "USRIN" && maker) {
            game("REQRDY");  // a player came in: ask everybody to get ready
        } else if (r.cmd == "REQRDY") {
            client.SendCommand("READYOK");
        } else if (r.cmd == "STARTOK" && r.data == "게임시작") {
            client.SendCommand("STARTOK");            // everybody is ready: play
            if (!maker) client.SendCommand("ENDOK");  // the joiner's game is short
        } else if (r.cmd == "ENDOK" && r.data != me && maker) {
            client.SendCommand("ENDOK");  // the other player finished: so does the maker
        } else if (r.cmd == "ENDGAME" || (r.cmd == "ENDOK" && r.data != me && !maker)) {
            done = true;
        }
    });
    client.OnState([&](AsyncLobbyClient::State s, const std::string& why) {
        if (s == AsyncLobbyClient::State::Waiting) {
            std::printf("%s: disconnected (%s), retrying\n", me.c_str(), why.c_str());
        }
    });
    client.Start();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    auto lastList = std::chrono::steady_clock::now();
    while (!done && std::chrono::steady_clock::now() < end) {
        client.PollFor(std::chrono::milliseconds(16));  // one frame of a 60 Hz loop
        const auto now = std::chrono::steady_clock::now();
        if (wantList && now - lastList > std::chrono::milliseconds(100)) {
            wantList = false;
            lastList = now;
            client.SendCommand("ROOMLIST", {number("roomNo", "-1")});
        }
    }
    std::printf("%s: %s\n", me.c_str(), done ? "game over" : "timed out");
    std::fflush(stdout);
    return done && failures == 0 ? 0 : 1;
}
