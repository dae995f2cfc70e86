// The two Redis connection threads of a node (see RedisLink.h). The command thread and the
// subscription thread each own one hiredis context; nothing else touches it.
#include "cluster/RedisLink.h"

#include <hiredis/hiredis.h>
#include <poll.h>

#include <chrono>
#include <memory>

#include "platform/AppLog.h"

namespace tessil::cluster {

namespace {

using std::chrono::milliseconds;
constexpr milliseconds kReconnectPause{250};

struct ContextFree {
    void operator()(redisContext* c) const { redisFree(c); }
};
using ContextPtr = std::unique_ptr<redisContext, ContextFree>;

RedisReply Convert(const redisReply* r) {
    RedisReply out;
    out.up = true;
    if (r == nullptr) return out;
    switch (r->type) {
        case REDIS_REPLY_STRING:
        case REDIS_REPLY_STATUS:
            out.str.assign(r->str, r->len);
            break;
        case REDIS_REPLY_ERROR:
            out.error = true;
            out.str.assign(r->str, r->len);
            break;
        case REDIS_REPLY_INTEGER:
            out.integer = r->integer;
            break;
        case REDIS_REPLY_NIL:
            out.nil = true;
            break;
        case REDIS_REPLY_ARRAY:
            out.elements.reserve(r->elements);
            for (size_t i = 0; i < r->elements; ++i) out.elements.push_back(Convert(r->element[i]));
            break;
        default:
            break;
    }
    return out;
}

// Connects (and authenticates) with short time-outs; null when Redis cannot be reached.
ContextPtr Connect(const RedisAddress& a, std::string& why) {
    timeval tv{0, 500000};
    ContextPtr c(redisConnectWithTimeout(a.host.c_str(), a.port, tv));
    if (!c || c->err) {
        why = c ? c->errstr : "out of memory";
        return nullptr;
    }
    // A Redis that stops answering must not hold the thread for long.
    timeval io{2, 0};
    redisSetTimeout(c.get(), io);
    redisEnableKeepAlive(c.get());
    if (!a.password.empty()) {
        const char* argv[] = {"AUTH", a.password.c_str()};
        const size_t len[] = {4, a.password.size()};
        auto* r = static_cast<redisReply*>(redisCommandArgv(c.get(), 2, argv, len));
        const bool ok = r != nullptr && r->type != REDIS_REPLY_ERROR;
        if (r == nullptr)
            why = c->errstr;
        else if (!ok)
            why = std::string(r->str, r->len);
        if (r) freeReplyObject(r);
        if (!ok) return nullptr;
    }
    return c;
}

void Append(redisContext* c, const std::vector<std::string>& argv) {
    std::vector<const char*> ptrs;
    std::vector<size_t> lens;
    ptrs.reserve(argv.size());
    lens.reserve(argv.size());
    for (const auto& a : argv) {
        ptrs.push_back(a.data());
        lens.push_back(a.size());
    }
    redisAppendCommandArgv(c, static_cast<int>(argv.size()), ptrs.data(), lens.data());
}

}  // namespace

RedisLink::RedisLink(RedisAddress address, Scheduler& executor, size_t backlog)
    : address_(std::move(address)), executor_(executor), backlog_(backlog) {}

RedisLink::~RedisLink() {
    Stop();
}

void RedisLink::Start(std::vector<std::string> channels) {
    channels_ = std::move(channels);
    commandThread_ = std::thread([this] { commandLoop(); });
    subscribeThread_ = std::thread([this] { subscribeLoop(); });
}

void RedisLink::Stop() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    pause_.notify_all();
    if (commandThread_.joinable()) commandThread_.join();
    if (subscribeThread_.joinable()) subscribeThread_.join();
}

void RedisLink::post(std::function<void()> fn) {
    executor_.ScheduleAfter(0, std::move(fn));
}

void RedisLink::Command(std::vector<std::string> argv, Callback done) {
    queue(Pending{std::move(argv), std::move(done)});
}

void RedisLink::Publish(std::vector<std::string> argv, Callback undelivered) {
    queue(Pending{std::move(argv), std::move(undelivered), true});
}

void RedisLink::queue(Pending p) {
    bool full = false;
    {
        std::lock_guard lock(mutex_);
        full = queue_.size() >= backlog_;
        if (!stop_ && !full) {
            queue_.push_back(std::move(p));
            wake_.notify_one();
            return;
        }
    }
    Callback done = std::move(p.done);
    if (full) {
        limits::CountRefusal("cluster_redis_backlog");
        if (backlogFull_.Begin())
            filelog::Write("Cluster",
                           "Redis falls behind: commands past [Limits] "
                           "ClusterRedisBacklog are refused");
    }
    if (done) post([done = std::move(done)] { done(RedisReply{}); });
}

size_t RedisLink::Queued() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

void RedisLink::failAll(std::deque<Pending>& batch) {
    for (auto& p : batch) {
        if (p.done) post([done = std::move(p.done)] { done(RedisReply{}); });
    }
    batch.clear();
}

void RedisLink::commandLoop() {
    ContextPtr ctx;
    bool loggedDown = false;
    while (!stop_) {
        if (!ctx) {
            std::string why;
            ctx = Connect(address_, why);
            if (!ctx) {
                if (!loggedDown) {
                    filelog::Write("Cluster", "Redis unreachable: " + why);
                    loggedDown = true;
                }
                std::deque<Pending> batch;
                {
                    std::unique_lock lock(mutex_);
                    batch.swap(queue_);
                }
                failAll(batch);
                std::unique_lock lock(mutex_);
                wake_.wait_for(lock, kReconnectPause, [this] { return stop_.load(); });
                continue;
            }
            loggedDown = false;
            up_ = true;
            if (onState_) post([fn = onState_] { fn(true); });
        }
        std::deque<Pending> batch;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            if (stop_) break;
            batch.swap(queue_);
        }
        // One round: every queued command is written, then every reply read, in order.
        for (const auto& p : batch) Append(ctx.get(), p.argv);
        bool failed = false;
        while (!batch.empty()) {
            void* raw = nullptr;
            if (redisGetReply(ctx.get(), &raw) != REDIS_OK) {
                failed = true;
                break;
            }
            auto* r = static_cast<redisReply*>(raw);
            Pending p = std::move(batch.front());
            batch.pop_front();
            const bool delivered = r->type == REDIS_REPLY_INTEGER && r->integer > 0;
            if (p.done && !(p.onlyUndelivered && delivered)) {
                auto reply = std::make_shared<RedisReply>(Convert(r));
                post([done = std::move(p.done), reply] { done(*reply); });
            }
            freeReplyObject(r);
        }
        if (failed) {
            filelog::Write("Cluster", std::string("Redis connection lost: ") + ctx->errstr);
            ctx.reset();
            up_ = false;
            if (onState_) post([fn = onState_] { fn(false); });
            failAll(batch);
        }
    }
    std::deque<Pending> rest;
    {
        std::lock_guard lock(mutex_);
        rest.swap(queue_);
    }
    for (auto& p : rest) p.done = nullptr;  // the executor may be going away: drop them
}

void RedisLink::subscribeLoop() {
    while (!stop_) {
        std::string why;
        ContextPtr ctx = Connect(address_, why);
        if (!ctx) {
            std::unique_lock lock(mutex_);
            pause_.wait_for(lock, kReconnectPause, [this] { return stop_.load(); });
            continue;
        }
        std::vector<std::string> argv{"SUBSCRIBE"};
        argv.insert(argv.end(), channels_.begin(), channels_.end());
        Append(ctx.get(), argv);
        int done = 0;
        while (!done) {
            if (redisBufferWrite(ctx.get(), &done) != REDIS_OK) break;
        }
        // Reads only when the socket is readable, so that Stop is seen within 200 ms.
        while (!stop_ && done) {
            void* raw = nullptr;
            if (redisGetReplyFromReader(ctx.get(), &raw) != REDIS_OK) break;
            if (raw == nullptr) {
                pollfd p{ctx->fd, POLLIN, 0};
                int n = ::poll(&p, 1, 200);
                if (n < 0 && errno != EINTR) break;
                if (n > 0 && redisBufferRead(ctx.get()) != REDIS_OK) break;
                continue;
            }
            auto* r = static_cast<redisReply*>(raw);
            if (r->type == REDIS_REPLY_ARRAY && r->elements == 3 &&
                r->element[0]->type == REDIS_REPLY_STRING &&
                std::string_view(r->element[0]->str, r->element[0]->len) == "subscribe") {
                subscribed_ = true;
            } else if (r->type == REDIS_REPLY_ARRAY && r->elements == 3 &&
                       r->element[0]->type == REDIS_REPLY_STRING &&
                       std::string_view(r->element[0]->str, r->element[0]->len) == "message" &&
                       onMessage_) {
                std::string channel(r->element[1]->str, r->element[1]->len);
                std::string message(r->element[2]->str, r->element[2]->len);
                post([fn = onMessage_, channel = std::move(channel),
                      message = std::move(message)]() mutable { fn(channel, std::move(message)); });
            }
            freeReplyObject(r);
        }
        subscribed_ = false;
        if (stop_) break;
        std::unique_lock lock(mutex_);
        pause_.wait_for(lock, kReconnectPause, [this] { return stop_.load(); });
    }
}

}  // namespace tessil::cluster
