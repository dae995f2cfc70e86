// RedisLink: the node's two connections to Redis, each on its own thread (commands with
// replies, and the subscription that receives the other nodes' messages). Owned by the
// cluster lobby; commands are queued from any thread, results run on the caller's executor.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/LimitEvents.h"
#include "platform/Scheduler.h"

namespace tessil::cluster {

// One reply, copied out of hiredis. `up` is false when the command never got an answer
// because the connection is down (or went down while it waited).
struct RedisReply {
    bool up = false;
    bool error = false;  // an error reply ("-ERR ...", text in str)
    bool nil = false;
    long long integer = 0;
    std::string str;
    std::vector<RedisReply> elements;
};

struct RedisAddress {
    std::string host = "127.0.0.1";
    uint16_t port = 6379;
    std::string password;  // empty: no AUTH
};

// No Redis I/O ever happens on the caller's thread: Command only queues, the command
// thread pipelines everything queued in one round, and each result is handed to the
// executor (a Scheduler whose thread runs the callbacks in the order they were posted).
// While the connection is down, queued and new commands complete at once with up=false;
// both threads reconnect on their own, every 250 ms.
class RedisLink {
  public:
    using Callback = std::function<void(const RedisReply&)>;
    using MessageHandler = std::function<void(const std::string& channel, std::string message)>;
    // Called on the executor with true after each (re)connection of the command
    // connection and with false when it is lost.
    using StateHandler = std::function<void(bool up)>;

    // backlog: commands that may wait for the command thread; past it a command fails at
    // once (as if Redis were down), counted as a refusal of "cluster_redis_backlog".
    RedisLink(RedisAddress address, Scheduler& executor, size_t backlog = 100000);
    // Stops and joins both threads; callbacks not yet run are dropped by the executor.
    ~RedisLink();
    RedisLink(const RedisLink&) = delete;
    RedisLink& operator=(const RedisLink&) = delete;

    // Set both before Start.
    void SetStateHandler(StateHandler fn) { onState_ = std::move(fn); }
    void SetMessageHandler(MessageHandler fn) { onMessage_ = std::move(fn); }
    void Start(std::vector<std::string> channels);
    void Stop();

    // Queues one command (binary-safe arguments). The callback may be empty.
    void Command(std::vector<std::string> argv, Callback done = {});
    // Queues a PUBLISH whose callback runs only when nobody received the message (Redis
    // down, an error, or no subscriber): a delivered message costs the executor nothing.
    void Publish(std::vector<std::string> argv, Callback undelivered);
    bool Up() const { return up_.load(); }
    // True while the subscription is confirmed by Redis: messages sent to this node now
    // reach it.
    bool Subscribed() const { return subscribed_.load(); }
    // Commands waiting for the command thread (the cluster bounds its own queueing on it).
    size_t Queued() const;

  private:
    struct Pending {
        std::vector<std::string> argv;
        Callback done;
        bool onlyUndelivered = false;  // Publish: done only when no subscriber got it
    };
    void queue(Pending p);
    void commandLoop();
    void subscribeLoop();
    void post(std::function<void()> fn);
    void failAll(std::deque<Pending>& batch);

    const RedisAddress address_;
    Scheduler& executor_;
    const size_t backlog_;
    limits::TEpisode backlogFull_;
    StateHandler onState_;
    MessageHandler onMessage_;
    std::vector<std::string> channels_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;   // the command thread: work queued, or stop
    std::condition_variable pause_;  // the subscription thread's reconnect pause
    std::deque<Pending> queue_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> up_{false};
    std::atomic<bool> subscribed_{false};
    std::thread commandThread_;
    std::thread subscribeThread_;
};

}  // namespace tessil::cluster
