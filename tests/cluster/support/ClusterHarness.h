// A cluster for end-to-end tests: a private redis-server (temporary directory, free port)
// and server processes started with --cluster, each on its own free port, plus clients
// connected to a chosen node. Owned by one test; everything is stopped and removed at its
// end. Processes can be killed and Redis restarted on the same port.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/LobbyClient.h"

struct redisContext;

namespace tessil::clustertest {

// A child process with its output in a file.
class Child {
  public:
    Child(const std::string& exe, const std::vector<std::string>& args,
          const std::filesystem::path& output);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Running();
    void Kill(int sig);
    // Waits for the exit (at most `limit`); true when it exited.
    bool Wait(std::chrono::milliseconds limit);
    pid_t Pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    bool exited_ = false;
};

// A test's own subscription to one Redis channel, to play the part of another node.
class RedisChannel {
  public:
    RedisChannel(uint16_t port, const std::string& channel);
    ~RedisChannel();
    RedisChannel(const RedisChannel&) = delete;
    RedisChannel& operator=(const RedisChannel&) = delete;

    // True once Redis has confirmed the subscription.
    bool Ok() const { return ok_; }
    // The next message on the channel; nothing after `limit` (the channel is then closed).
    std::optional<std::string> Next(std::chrono::milliseconds limit);

  private:
    redisContext* context_ = nullptr;
    bool ok_ = false;
};

class Cluster {
  public:
    // True when redis-server can be run here; tests skip otherwise.
    static bool RedisAvailable();

    // Starts Redis and `nodes` server processes and waits until every node admits logins.
    // With panels, each node serves its control panel (on PanelPort) instead of running
    // headless.
    explicit Cluster(int nodes, bool panels = false);
    ~Cluster();

    bool Ok() const { return ok_; }
    uint16_t Port(int node) const { return nodes_.at(node).port; }
    uint16_t PanelPort(int node) const { return nodes_.at(node).panelPort; }
    std::string Name(int node) const { return "n" + std::to_string(node); }
    int Size() const { return static_cast<int>(nodes_.size()); }

    // A client connected to the node, past the handshake.
    std::unique_ptr<LobbyClient> Connect(int node);
    // A client logged in as id on the node (LOGIN answered E000), or null.
    std::unique_ptr<LobbyClient> Login(int node, const std::string& id);

    void KillNode(int node);
    // SIGTERM: the node's close sequence runs.
    void StopNode(int node);
    void KillRedis();
    // Starts Redis again on the same port (empty: nothing was saved).
    void StartRedis();
    // One command to the cluster's Redis, as a test's own client; the reply as text ("" for
    // nil or an error).
    std::string RedisCommand(const std::vector<std::string>& argv);
    // A subscription of the test's own to a channel of the cluster's Redis.
    std::unique_ptr<RedisChannel> Subscribe(const std::string& channel);
    // Waits until the node admits logins again (it answers a probe LOGIN with E000).
    bool WaitReady(int node, std::chrono::milliseconds limit = std::chrono::seconds(20));

    // Settings every node reads: a short liveness time-out, so that deaths are seen fast.
    static constexpr int kAliveTtlMs = 1500;

  private:
    struct Node {
        uint16_t port = 0;
        uint16_t panelPort = 0;
        std::unique_ptr<Child> proc;
    };
    void startNode(int index);
    void spawnNode(int index);

    bool ok_ = false;
    bool panels_ = false;
    std::filesystem::path dir_;
    uint16_t redisPort_ = 0;
    std::unique_ptr<Child> redis_;
    std::vector<Node> nodes_;
    int probes_ = 0;
};

// Members of a request.
RequestMember Text(std::string name, std::string value);
RequestMember Int(std::string name, int64_t value);
// The next reply or event as "cmd|code|data" ("<none>" after the time-out).
std::string Next(LobbyClient& client,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
// The first reply or event with this cmd, as "cmd|code|data".
std::string NextOf(LobbyClient& client, const std::string& cmd,
                   std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

// Lists are read from Redis, where a change made on another node lands one round trip
// after that node's own reply: sends the request until its reply contains `needle` (at most
// 3 s) and returns the last reply as "cmd|code|data".
std::string ListShowing(LobbyClient& client, const std::string& cmd,
                        const std::vector<RequestMember>& members, const std::string& needle);
std::string ListShowing(LobbyClient& client, const std::string& cmd,
                        const std::vector<RequestMember>& members,
                        const std::function<bool(const std::string&)>& done);

}  // namespace tessil::clustertest
