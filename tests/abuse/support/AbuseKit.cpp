// The abuse suite's kit: server process, /proc readings and the blocking test client.
// Used by one test thread per object.
#include "tests/abuse/support/AbuseKit.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "protocol/MsgFrame.h"
#include "protocol/TextUtils.h"

extern char** environ;

namespace tessil::abuse {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kKeepOutput = 64 * 1024;

fs::path AppPath() {
    if (const char* env = std::getenv("TESSIL_APP")) return env;
    // build/<kind>/tests/abuse_tests -> build/<kind>/server/TessilServiceApp
    return fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "server" /
           "TessilServiceApp";
}

int RemainingMs(Clock::time_point until) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

uint16_t FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

// ---- ServerProcess ------------------------------------------------------------------------

ServerProcess::ServerProcess(const std::map<std::string, std::string>& limits) {
    static std::atomic<int> serial{0};
    dir_ = fs::temp_directory_path() /
           ("tessil-abuse-" + std::to_string(::getpid()) + "-" + std::to_string(++serial));
    fs::create_directories(dir_);
    {
        std::ofstream ini(dir_ / "server.ini");
        ini << "[Limits]\n";
        for (const auto& [key, value] : limits) ini << key << "=" << value << "\n";
    }
    // A free port can be taken by someone else before the server binds it: try another.
    for (int attempt = 0; attempt < 3 && !started_; ++attempt) {
        if (attempt > 0) {
            Wait(10s);
            if (reader_.joinable()) reader_.join();
            std::lock_guard lock(mu_);
            if (out_.find("Address already in use") == std::string::npos) break;
            out_.clear();
            exited_ = false;
            code_ = -1;
        }
        Launch();
    }
}

void ServerProcess::Launch() {
    port_ = FreePort();
    std::vector<std::string> args{AppPath().string(),
                                  "--headless",
                                  "--start",
                                  "--port",
                                  std::to_string(port_),
                                  "--workers",
                                  "2",
                                  "--instance",
                                  dir_.filename().string(),
                                  "--log-dir",
                                  dir_.string(),
                                  "--config",
                                  (dir_ / "server.ini").string()};
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&fa, pipeFds[1], 2);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
#if defined(__SANITIZE_ADDRESS__)
    // These tests read the server's resident memory. The address sanitizer keeps freed
    // blocks in a quarantine (256 MiB by default) that fills over minutes of churn and
    // would read as growth; a small one still catches a use shortly after a free.
    constexpr const char* kQuarantine = "quarantine_size_mb=32";
    bool set = false;
    for (auto& e : env) {
        if (e.rfind("ASAN_OPTIONS=", 0) == 0) {
            e += std::string(":") + kQuarantine;
            set = true;
        }
    }
    if (!set) env.push_back(std::string("ASAN_OPTIONS=") + kQuarantine);
#endif
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    ::close(pipeFds[1]);
    reader_ = std::thread([this, fd = pipeFds[0]] { Drain(fd); });
    const auto until = Clock::now() + 15s;
    while (pid_ > 0 && Clock::now() < until) {
        {
            std::lock_guard lock(mu_);
            if (out_.find("Start\n") != std::string::npos) {
                started_ = true;
                break;
            }
        }
        if (!Running()) break;
        std::this_thread::sleep_for(10ms);
    }
}

ServerProcess::~ServerProcess() {
    if (pid_ > 0 && !exited_) {
        ::kill(pid_, SIGKILL);
        Wait(10s);
    }
    if (reader_.joinable()) reader_.join();
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

void ServerProcess::Drain(int fd) {
    char buf[16384];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::lock_guard lock(mu_);
        out_.append(buf, static_cast<size_t>(n));
        // Keep the tail, but never cut the "Start" line the constructor looks for.
        if (out_.size() > 2 * kKeepOutput && started_) out_.erase(0, out_.size() - kKeepOutput);
    }
    ::close(fd);
}

long ServerProcess::RssKiB() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    std::string key;
    while (in >> key) {
        if (key == "VmRSS:") {
            long kib = -1;
            in >> kib;
            return kib;
        }
        in.ignore(1 << 16, '\n');
    }
    return -1;
}

int ServerProcess::Fds() const {
    DIR* dir = ::opendir(("/proc/" + std::to_string(pid_) + "/fd").c_str());
    if (dir == nullptr) return -1;
    int n = 0;
    while (dirent* e = ::readdir(dir)) n += e->d_name[0] != '.';
    ::closedir(dir);
    return n;
}

int ServerProcess::Threads() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    std::string key;
    while (in >> key) {
        if (key == "Threads:") {
            int n = -1;
            in >> n;
            return n;
        }
        in.ignore(1 << 16, '\n');
    }
    return -1;
}

void ServerProcess::Signal(int sig) const {
    if (pid_ > 0) ::kill(pid_, sig);
}

int ServerProcess::Wait(std::chrono::milliseconds limit) {
    const auto until = Clock::now() + limit;
    while (!exited_ && pid_ > 0) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            exited_ = true;
            code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (Clock::now() >= until) return -1;
        std::this_thread::sleep_for(5ms);
    }
    return code_;
}

std::string ServerProcess::FileLog() const {
    return ReadFile(dir_ / "TessilServiceApp.log");
}

std::string ServerProcess::Output() const {
    std::lock_guard lock(mu_);
    return out_;
}

// ---- Client -------------------------------------------------------------------------------

Client::~Client() {
    Close();
}

bool Client::Connect(uint16_t port, int source) {
    Close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(INADDR_LOOPBACK + static_cast<uint32_t>(source % 250));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (source != 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
        Close();
        return false;
    }
    // A connect that the server does not accept within 5 s counts as refused.
    const int flags = ::fcntl(fd_, F_GETFL);
    ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        pollfd p{fd_, POLLOUT, 0};
        int err = 0;
        socklen_t len = sizeof err;
        if (errno != EINPROGRESS || ::poll(&p, 1, 5000) != 1 ||
            ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
            Close();
            return false;
        }
    }
    ::fcntl(fd_, F_SETFL, flags);
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
}

void Client::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void Client::Abort() {
    if (fd_ < 0) return;
    linger lg{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    Close();
}

bool Client::SendRaw(std::string_view bytes) {
    while (fd_ >= 0 && !bytes.empty()) {
        ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return fd_ >= 0;
}

bool Client::SendFrame(uint16_t type, std::string_view body) {
    return SendRaw(EncodeFrame(type, body));
}

bool Client::Handshake(std::string_view id, std::string_view user, std::string_view password,
                       std::string_view version) {
    std::string body;
    for (std::string_view field : {id, user, password, version}) {
        body.append(field);
        body.push_back('\0');
    }
    return SendFrame(mtHandshake, body);
}

bool Client::Request(std::string_view json) {
    return SendFrame(mtData, "TXT" + Base64Encode(json));
}

bool Client::Login(std::string_view id, std::string_view pass) {
    if (!Handshake()) return false;
    // The verdict frame and the AUTHOK data message, in whichever order they come.
    bool verdict = false, authOk = false;
    while (!verdict || !authOk) {
        auto f = ReadFrame();
        if (!f) return false;
        if (f->type == mtHandshake) {
            if (f->body != AuthOkStr) return false;
            verdict = true;
        } else if (f->type == mtData) {
            if (Base64Decode(f->body).find("AUTHOK") == std::string::npos) return false;
            authOk = true;
        }
    }
    rapidjson::StringBuffer sb;
    rapidjson::Writer<rapidjson::StringBuffer> w(sb);
    w.StartObject();
    w.Key("cmd");
    w.String("LOGIN");
    w.Key("usrid");
    w.String(id.data(), static_cast<rapidjson::SizeType>(id.size()));
    w.Key("pass");
    w.String(pass.data(), static_cast<rapidjson::SizeType>(pass.size()));
    w.Key("gcode");
    w.String("G1");
    w.EndObject();
    if (!Request(sb.GetString())) return false;
    auto reply = NextText();
    return reply && CmdCode(*reply) == "LOGIN|E000";
}

bool Client::ReadExact(char* out, size_t n, Clock::time_point until) {
    size_t got = 0;
    while (fd_ >= 0 && got < n) {
        pollfd p{fd_, POLLIN, 0};
        int r = ::poll(&p, 1, RemainingMs(until));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        ssize_t k = ::recv(fd_, out + got, n - got, 0);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) {
            Close();
            return false;
        }
        got += static_cast<size_t>(k);
    }
    return got == n;
}

std::optional<Client::Frame> Client::ReadFrame(std::chrono::milliseconds timeout) {
    const auto until = Clock::now() + timeout;
    char head[kHeaderSize];
    if (!ReadExact(head, kHeaderSize, until)) return std::nullopt;
    TMsgHeader h = TMsgHeader::Decode(head);
    Frame f;
    f.type = h.MsgType;
    f.body.resize(h.MsgLen);
    if (h.MsgLen > 0 && !ReadExact(f.body.data(), h.MsgLen, until)) return std::nullopt;
    return f;
}

std::optional<std::string> Client::NextText(std::chrono::milliseconds timeout) {
    const auto until = Clock::now() + timeout;
    for (;;) {
        auto f = ReadFrame(std::chrono::milliseconds(RemainingMs(until)));
        if (!f) return std::nullopt;
        if (f->type == mtData) return Base64Decode(f->body);
    }
}

bool Client::WaitClosed(std::chrono::milliseconds timeout) {
    const auto until = Clock::now() + timeout;
    char buf[4096];
    while (fd_ >= 0) {
        pollfd p{fd_, POLLIN, 0};
        int r = ::poll(&p, 1, RemainingMs(until));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        ssize_t k = ::recv(fd_, buf, sizeof buf, 0);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) {
            Close();
            return true;
        }
    }
    return true;
}

// ---- reply helpers ------------------------------------------------------------------------

std::string CmdCode(const std::string& replyText) {
    rapidjson::Document d;
    d.Parse(replyText.c_str(), replyText.size());
    if (d.HasParseError() || !d.IsObject()) return "<bad json>";
    auto text = [&](const char* name) -> std::string {
        auto it = d.FindMember(name);
        return it != d.MemberEnd() && it->value.IsString() ? it->value.GetString() : "";
    };
    return text("cmd") + "|" + text("code");
}

std::string DataOf(const std::string& replyText) {
    rapidjson::Document d;
    d.Parse(replyText.c_str(), replyText.size());
    if (d.HasParseError() || !d.IsObject()) return "";
    auto it = d.FindMember("data");
    if (it == d.MemberEnd()) return "";
    rapidjson::StringBuffer sb;
    rapidjson::Writer<rapidjson::StringBuffer> w(sb);
    it->value.Accept(w);
    return sb.GetString();
}

bool IsValidUtf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        const auto b0 = static_cast<unsigned char>(s[i]);
        size_t len;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b0 < 0x80) {
            ++i;
            continue;
        } else if (b0 >= 0xC2 && b0 <= 0xDF) {
            len = 2;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            len = 3;
            if (b0 == 0xE0) lo = 0xA0;
            if (b0 == 0xED) hi = 0x9F;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            len = 4;
            if (b0 == 0xF0) lo = 0x90;
            if (b0 == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (i + len > s.size()) return false;
        const auto b1 = static_cast<unsigned char>(s[i + 1]);
        if (b1 < lo || b1 > hi) return false;
        for (size_t k = 2; k < len; ++k) {
            const auto b = static_cast<unsigned char>(s[i + k]);
            if (b < 0x80 || b > 0xBF) return false;
        }
        i += len;
    }
    return true;
}

}  // namespace tessil::abuse
