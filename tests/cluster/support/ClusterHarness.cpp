// The test cluster (see ClusterHarness.h): Redis and server processes on free loopback
// ports, started with posix_spawn; one test thread uses it.
#include "tests/cluster/support/ClusterHarness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <hiredis/hiredis.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

extern char** environ;

namespace tessil::clustertest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

uint16_t FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

bool Accepts(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

fs::path AppPath() {
    if (const char* env = std::getenv("TESSIL_APP")) return env;
    // build/<kind>/tests/cluster_tests -> build/<kind>/server/TessilServiceApp
    return fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "server" /
           "TessilServiceApp";
}

std::string RedisPath() {
    for (const char* p : {"/usr/bin/redis-server", "/usr/local/bin/redis-server"})
        if (::access(p, X_OK) == 0) return p;
    return "";
}

}  // namespace

// ---- Child -----------------------------------------------------------------------------------

Child::Child(const std::string& exe, const std::vector<std::string>& args, const fs::path& output) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    std::vector<std::string> all{exe};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, exe.c_str(), &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
}

Child::~Child() {
    if (pid_ > 0 && !exited_) {
        Kill(SIGKILL);
        Wait(10s);
    }
}

void Child::Kill(int sig) {
    if (pid_ > 0 && !exited_) ::kill(pid_, sig);
}

bool Child::Wait(std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!exited_ && pid_ > 0) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            exited_ = true;
            break;
        }
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

bool Child::Running() {
    return pid_ > 0 && !Wait(0ms);
}

// ---- Cluster ---------------------------------------------------------------------------------

bool Cluster::RedisAvailable() {
    return !RedisPath().empty();
}

Cluster::Cluster(int nodes, bool panels) : panels_(panels) {
    static std::atomic<int> n{0};
    dir_ = fs::temp_directory_path() /
           ("tessil-cluster-" + std::to_string(::getpid()) + "-" + std::to_string(++n));
    fs::create_directories(dir_);
    {
        std::ofstream ini(dir_ / "node.ini");
        ini << "[Cluster]\nAliveTtlMs=" << kAliveTtlMs << "\nTickMs=250\n";
    }
    // A free port may be taken by another test before the child binds it: then again.
    for (int attempt = 0; attempt < 5 && !(redis_ && redis_->Running() && Accepts(redisPort_));
         ++attempt) {
        KillRedis();
        redisPort_ = FreePort();
        StartRedis();
    }
    nodes_.resize(static_cast<size_t>(nodes));
    for (int i = 0; i < nodes; ++i) startNode(i);
    ok_ = true;
    for (int i = 0; i < nodes; ++i) ok_ = WaitReady(i) && ok_;
}

Cluster::~Cluster() {
    for (auto& node : nodes_) {
        if (node.proc) {
            node.proc->Kill(SIGTERM);
            if (!node.proc->Wait(10s)) node.proc->Kill(SIGKILL);
        }
    }
    // A sanitizer's report in a node's output fails the test.
    for (size_t i = 0; i < nodes_.size(); ++i) {
        std::ifstream in(dir_ / Name(static_cast<int>(i)) / "stdout.txt");
        const std::string text((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        for (const char* report : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                                   "WARNING: ThreadSanitizer", "runtime error:"})
            EXPECT_EQ(text.find(report), std::string::npos)
                << Name(static_cast<int>(i)) << ": " << report;
    }
    nodes_.clear();
    redis_.reset();
    std::error_code ec;
    if (!::testing::Test::HasFailure())
        fs::remove_all(dir_, ec);
    else
        std::cerr << "cluster files kept in " << dir_ << "\n";
}

void Cluster::StartRedis() {
    redis_ = std::make_unique<Child>(
        RedisPath(),
        std::vector<std::string>{"--port", std::to_string(redisPort_), "--bind", "127.0.0.1",
                                 "--dir", dir_.string(), "--save", "", "--appendonly", "no",
                                 "--daemonize", "no"},
        dir_ / "redis.out");
    for (int i = 0; i < 500 && !Accepts(redisPort_); ++i) std::this_thread::sleep_for(10ms);
}

std::string Cluster::RedisCommand(const std::vector<std::string>& argv) {
    std::unique_ptr<redisContext, void (*)(redisContext*)> c(redisConnect("127.0.0.1", redisPort_),
                                                             redisFree);
    if (!c || c->err) return "";
    std::vector<const char*> args;
    std::vector<size_t> lengths;
    for (const auto& a : argv) {
        args.push_back(a.data());
        lengths.push_back(a.size());
    }
    auto* r = static_cast<redisReply*>(
        redisCommandArgv(c.get(), static_cast<int>(argv.size()), args.data(), lengths.data()));
    if (!r) return "";
    std::string out;
    if (r->type == REDIS_REPLY_STRING || r->type == REDIS_REPLY_STATUS)
        out.assign(r->str, r->len);
    else if (r->type == REDIS_REPLY_INTEGER)
        out = std::to_string(r->integer);
    freeReplyObject(r);
    return out;
}

std::unique_ptr<RedisChannel> Cluster::Subscribe(const std::string& channel) {
    return std::make_unique<RedisChannel>(redisPort_, channel);
}

// ---- RedisChannel ----------------------------------------------------------------------------

RedisChannel::RedisChannel(uint16_t port, const std::string& channel) {
    context_ = redisConnect("127.0.0.1", port);
    if (context_ == nullptr || context_->err) return;
    auto* r = static_cast<redisReply*>(
        redisCommand(context_, "SUBSCRIBE %b", channel.data(), channel.size()));
    ok_ = r != nullptr && r->type == REDIS_REPLY_ARRAY;
    if (r) freeReplyObject(r);
}

RedisChannel::~RedisChannel() {
    if (context_) redisFree(context_);
}

std::optional<std::string> RedisChannel::Next(std::chrono::milliseconds limit) {
    if (!ok_) return std::nullopt;
    const timeval tv{static_cast<time_t>(limit.count() / 1000),
                     static_cast<suseconds_t>(limit.count() % 1000 * 1000)};
    redisSetTimeout(context_, tv);
    void* raw = nullptr;
    if (redisGetReply(context_, &raw) != REDIS_OK || raw == nullptr) {
        ok_ = false;  // a context that failed cannot be read again
        return std::nullopt;
    }
    auto* r = static_cast<redisReply*>(raw);
    std::optional<std::string> out;
    if (r->type == REDIS_REPLY_ARRAY && r->elements == 3 &&
        r->element[2]->type == REDIS_REPLY_STRING)
        out.emplace(r->element[2]->str, r->element[2]->len);
    freeReplyObject(r);
    return out;
}

void Cluster::KillRedis() {
    if (!redis_) return;
    redis_->Kill(SIGKILL);
    redis_->Wait(10s);
    redis_.reset();
}

void Cluster::startNode(int index) {
    const fs::path out = dir_ / Name(index) / "stdout.txt";
    for (int attempt = 0; attempt < 5; ++attempt) {
        spawnNode(index);
        // A free port may be taken by another test before the node binds it: then again.
        // The node writes "Start" once it listens, "Cannot listen" when it cannot.
        for (int i = 0; i < 500; ++i) {
            std::ifstream in(out);
            const std::string text((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
            if (text.find(" Start\n") != std::string::npos ||
                text.find("\nStart\n") != std::string::npos)
                return;
            // With a panel the window log does not go to standard output: the game port
            // accepting is the sign.
            if (panels_ && Accepts(nodes_.at(static_cast<size_t>(index)).port)) return;
            if (text.find("Cannot listen") != std::string::npos) break;
            std::this_thread::sleep_for(10ms);
        }
        KillNode(index);
        std::error_code ec;
        fs::remove(out, ec);
    }
}

void Cluster::spawnNode(int index) {
    Node& node = nodes_.at(static_cast<size_t>(index));
    node.port = FreePort();
    const std::string name = Name(index);
    const fs::path logDir = dir_ / name;
    fs::create_directories(logDir);
    std::vector<std::string> args{"--start",
                                  "--port",
                                  std::to_string(node.port),
                                  "--instance",
                                  dir_.filename().string() + "-" + name,
                                  "--ops",
                                  "off",
                                  "--log-dir",
                                  logDir.string(),
                                  "--config",
                                  (dir_ / "node.ini").string(),
                                  "--workers",
                                  "2",
                                  "--cluster",
                                  "127.0.0.1:" + std::to_string(redisPort_),
                                  "--node",
                                  name};
    if (panels_) {
        node.panelPort = FreePort();
        args.insert(args.end(), {"--panel", "127.0.0.1:" + std::to_string(node.panelPort)});
    } else {
        args.push_back("--headless");
    }
    node.proc = std::make_unique<Child>(AppPath().string(), args, logDir / "stdout.txt");
}

void Cluster::StopNode(int node) {
    auto& proc = nodes_.at(static_cast<size_t>(node)).proc;
    proc->Kill(SIGTERM);
    if (!proc->Wait(10s)) ADD_FAILURE() << Name(node) << " did not stop on SIGTERM";
}

void Cluster::KillNode(int node) {
    auto& proc = nodes_.at(static_cast<size_t>(node)).proc;
    proc->Kill(SIGKILL);
    proc->Wait(10s);
}

bool Cluster::WaitReady(int node, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (Accepts(Port(node))) {
            try {
                auto c = Connect(node);
                const std::string id = "probe-" + Name(node) + "-" + std::to_string(++probes_);
                c->SendCommand("LOGIN", {Text("usrid", id), Text("pass", "p"), Text("gcode", "G")});
                auto r = c->WaitFor("LOGIN");
                if (r && r->code == "E000") return true;
            } catch (const std::exception&) {
            }
        }
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

std::unique_ptr<LobbyClient> Cluster::Connect(int node) {
    auto client = std::make_unique<LobbyClient>();
    client->Connect("127.0.0.1", Port(node));
    client->Handshake(ClientIdentity{"id", "user", "pass", "1.0"});
    client->WaitFor("AUTHOK");
    return client;
}

std::unique_ptr<LobbyClient> Cluster::Login(int node, const std::string& id) {
    auto client = Connect(node);
    client->SendCommand("LOGIN", {Text("usrid", id), Text("pass", "pw"), Text("gcode", "G1")});
    auto reply = client->WaitFor("LOGIN");
    if (!reply || reply->code != "E000") {
        ADD_FAILURE() << "LOGIN " << id << " on " << Name(node) << ": "
                      << (reply ? reply->code + " " + reply->data : "no reply");
        return nullptr;
    }
    return client;
}

RequestMember Text(std::string name, std::string value) {
    return RequestMember{std::move(name), std::move(value), false};
}

RequestMember Int(std::string name, int64_t value) {
    return RequestMember{std::move(name), std::to_string(value), true};
}

std::string Next(LobbyClient& client, std::chrono::milliseconds timeout) {
    auto reply = client.WaitReply(timeout);
    if (!reply) return "<none>";
    return reply->cmd + "|" + reply->code + "|" + reply->data;
}

std::string NextOf(LobbyClient& client, const std::string& cmd, std::chrono::milliseconds timeout) {
    auto reply = client.WaitFor(cmd, timeout);
    if (!reply) return "<none>";
    return reply->cmd + "|" + reply->code + "|" + reply->data;
}

std::string ListShowing(LobbyClient& client, const std::string& cmd,
                        const std::vector<RequestMember>& members,
                        const std::function<bool(const std::string&)>& done) {
    std::string last;
    const auto until = std::chrono::steady_clock::now() + 3s;
    do {
        client.SendCommand(cmd, members);
        last = NextOf(client, cmd);
        if (done(last)) break;
        std::this_thread::sleep_for(20ms);
    } while (std::chrono::steady_clock::now() < until);
    return last;
}

std::string ListShowing(LobbyClient& client, const std::string& cmd,
                        const std::vector<RequestMember>& members, const std::string& needle) {
    return ListShowing(client, cmd, members,
                       [&](const std::string& s) { return s.find(needle) != std::string::npos; });
}

}  // namespace tessil::clustertest
