// tessil-cli: interactive and scriptable command-line client of the lobby server.
// Parses the command line and runs the session on the main thread.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client/CliLine.h"
#include "client/CliSession.h"
#include "client/LobbyClient.h"

namespace {

using namespace tessil;

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
        client.Connect(opt.target, std::chrono::milliseconds(opt.timeout));
    } catch (const ClientError& e) {
        std::fprintf(stderr, "tessil-cli: %s\n", e.what());
        return 3;
    }
    if (::isatty(fd)) out("connected to " + opt.target + "; type help for the line language");
    CliOptions session;
    session.timeoutMs = opt.timeout;
    session.lingerMs = opt.linger;
    session.interactive = ::isatty(fd) != 0;
    return RunCliLines(fd, client, session, out);
}
