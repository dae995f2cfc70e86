// tessil-cli: interactive and scriptable command-line client of the lobby server.
// Parses the command line and runs the session on the main thread; on a terminal the
// lines are typed at a prompt with line editing and history (libedit).
#include <editline/readline.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "client/CliLine.h"
#include "client/CliSession.h"
#include "client/LobbyClient.h"

namespace {

using namespace tessil;

constexpr const char* kUsage = R"(usage: tessil-cli [options] HOST:PORT

Connects to the lobby server and sends one request per line, read from a script file,
from standard input, or typed at a prompt with line editing and history (kept in
~/.tessil_cli_history). Prints every reply and event as it arrives, with the time.
Words that are neither line words nor server commands are refused (raw JSON lines go
through as they stand). At the end of a script or at quit, waits for the replies still
due to what was sent.

options:
  --script FILE   read lines from FILE ("-" for standard input, the default)
  --timeout MS    how long wait, heartbeat, handshake and clientlist wait (default 5000)
  --linger MS     after the last line, keep printing for MS milliseconds (default 300)
  --help          this text

exit status: 0 done, 1 a wait timed out, a reply did not come or a line failed
             (scripts stop there), 2 bad usage, 3 cannot connect

)";

struct Options {
    std::string target;
    std::string script = "-";
    int64_t timeout = 5000;
    int64_t linger = 300;
};

// The prompt: libedit in callback mode, so that the session can print replies and
// events between keystrokes. One object, on the main thread.
class PromptSource : public CliLineSource {
  public:
    PromptSource() {
        if (const char* home = std::getenv("HOME"))
            history_ = std::string(home) + "/.tessil_cli_history";
        if (!history_.empty()) ::read_history(history_.c_str());
        active_ = this;
        ::rl_callback_handler_install("tessil> ", &PromptSource::onLine);
    }
    ~PromptSource() override {
        ::rl_callback_handler_remove();
        ::rl_deprep_terminal();
        if (!history_.empty()) ::write_history(history_.c_str());
        active_ = nullptr;
    }
    int Fd() const override { return STDIN_FILENO; }
    bool Read(std::vector<std::string>& lines) override {
        ::rl_callback_read_char();
        // Keep the terminal in character mode between lines, so that keys typed while a
        // line runs reach the editor one by one rather than as a cooked line.
        if (!eof_ && !ready_.empty()) ::rl_prep_terminal(1);
        lines.insert(lines.end(), ready_.begin(), ready_.end());
        ready_.clear();
        return !eof_;
    }
    // Prints a line above the prompt and draws the prompt and the typed text again.
    static void Print(const std::string& line) {
        std::fputs("\r\033[K", stdout);
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
        ::rl_forced_update_display();
    }
    static PromptSource* active_;

  private:
    static void onLine(char* line) {
        if (line == nullptr) {
            active_->eof_ = true;
            return;
        }
        if (*line != '\0') ::add_history(line);
        active_->ready_.emplace_back(line);
        std::free(line);
    }
    std::string history_;
    std::vector<std::string> ready_;
    bool eof_ = false;
};
PromptSource* PromptSource::active_ = nullptr;

void out(const std::string& line) {
    if (PromptSource::active_ != nullptr) {
        PromptSource::Print(line);
        return;
    }
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
    CliOptions session;
    session.timeoutMs = opt.timeout;
    session.lingerMs = opt.linger;
    session.interactive = ::isatty(fd) != 0;
    if (!session.interactive) return RunCliLines(fd, client, session, out);
    out("connected to " + opt.target + "; help lists the commands, quit leaves");
    int rc = 0;
    {
        PromptSource prompt;
        rc = RunCliSession(prompt, client, session, out);
    }
    std::fputc('\n', stdout);
    return rc;
}
