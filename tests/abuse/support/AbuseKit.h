// The abuse suite's kit: the real server binary run as a child process on a free port with
// its own settings file (its RSS, descriptors and threads read from /proc), and a blocking
// framed-protocol client that can connect from any 127.x.y.z source address. Each object
// is owned and used by one test thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tessil::abuse {

using namespace std::chrono_literals;

// A TCP port on 127.0.0.1 that was free a moment ago.
uint16_t FreePort();

// TessilServiceApp started headless with --start on a free port. `limits` become the
// [Limits] section of its settings file. Standard output is drained (its last 64 KiB
// kept) so a chatty server never blocks on the pipe.
class ServerProcess {
  public:
    explicit ServerProcess(const std::map<std::string, std::string>& limits = {});
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // True once the server listens (its "Start" line was seen).
    bool Started() const { return started_; }
    uint16_t Port() const { return port_; }
    pid_t Pid() const { return pid_; }

    // From /proc: resident memory in KiB, open descriptors, threads (-1 when gone).
    long RssKiB() const;
    int Fds() const;
    int Threads() const;

    void Signal(int sig) const;
    // The exit code, or -1 while the process is still running after `limit`.
    int Wait(std::chrono::milliseconds limit);
    bool Running() { return Wait(0ms) == -1; }

    // The file log written so far.
    std::string FileLog() const;
    // The last bytes of standard output and error.
    std::string Output() const;

  private:
    // Spawns the server on a fresh free port and waits for its "Start" line.
    void Launch();
    void Drain(int fd);

    std::filesystem::path dir_;
    uint16_t port_ = 0;
    pid_t pid_ = -1;
    bool exited_ = false;
    int code_ = -1;
    bool started_ = false;
    std::thread reader_;
    mutable std::mutex mu_;
    std::string out_;
};

// One blocking client connection. Reads and writes time out; a closed or reset peer makes
// every later call fail quickly.
class Client {
  public:
    Client() = default;
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Connects to 127.0.0.1:port from 127.0.0.<1 + source % 250> (distinct source addresses
    // keep per-address limits out of tests that need many honest clients).
    bool Connect(uint16_t port, int source = 0);
    void Close();
    // Closes with a reset instead of an orderly shutdown (no TIME_WAIT left behind).
    void Abort();
    bool IsOpen() const { return fd_ >= 0; }

    bool SendRaw(std::string_view bytes);
    bool SendFrame(uint16_t type, std::string_view body);
    // A handshake with the four client-info fields.
    bool Handshake(std::string_view id = "abuse", std::string_view user = "u",
                   std::string_view password = "", std::string_view version = "1");
    // A data frame: "TXT" and the Base64 of the JSON text.
    bool Request(std::string_view json);
    // Handshake (its verdict and AUTHOK read) and LOGIN answered with E000.
    bool Login(std::string_view id, std::string_view pass = "pw");

    struct Frame {
        uint16_t type = 0;
        std::string body;
    };
    std::optional<Frame> ReadFrame(std::chrono::milliseconds timeout = 5s);
    // The next data frame decoded to its JSON text (other kinds skipped).
    std::optional<std::string> NextText(std::chrono::milliseconds timeout = 5s);
    // True when the peer closes within the time-out (anything that arrives is skipped).
    bool WaitClosed(std::chrono::milliseconds timeout = 5s);

  private:
    bool ReadExact(char* out, size_t n, std::chrono::steady_clock::time_point until);
    int fd_ = -1;
};

// "cmd|code" of a reply text (its data left out), or "<bad json>".
std::string CmdCode(const std::string& replyText);
// The "data" member of a reply as raw JSON text, or "" when absent.
std::string DataOf(const std::string& replyText);
// True when the bytes are valid UTF-8 (no surrogates, no overlong forms).
bool IsValidUtf8(std::string_view s);

}  // namespace tessil::abuse
