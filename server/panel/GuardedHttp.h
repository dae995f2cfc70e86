// An HTTP server with the bounds a panel reachable by others needs: a bounded pool whose
// full queue answers 503, a deadline for reading each request (headers and body), a cap
// on connections per address, one request per connection, no chunked or large bodies,
// and a check that the bound socket is loopback. Routes go on Routes(); owned by the
// panel or the operations endpoint; Start and Stop on the main thread, requests on the
// pool's threads.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/LimitEvents.h"

namespace tessil {

struct THttpLimits {
    int threads = 16;                              // requests served at once
    int queue = 32;                                // requests waiting; beyond, 503 at once
    int streams = 4;                               // event streams open at once
    int perAddress = 8;                            // connections open at once from one address
    std::chrono::milliseconds requestTime{10000};  // to read one request's headers and body
    size_t maxBody = 4096;

    // [Limits] PanelThreads, PanelQueue, PanelStreams, PanelConnectionsPerAddress,
    // PanelRequestSeconds of the settings file.
    static THttpLimits FromSettings();
};

class TGuardedHttp {
  public:
    explicit TGuardedHttp(THttpLimits limits);
    ~TGuardedHttp();
    TGuardedHttp(const TGuardedHttp&) = delete;
    TGuardedHttp& operator=(const TGuardedHttp&) = delete;

    // Routes (before Start). A handler runs once its request is wholly read; the
    // pre-routing handler runs after the headers, once the body passed its checks.
    void Get(const std::string& path, httplib::Server::Handler handler);
    void Post(const std::string& path, httplib::Server::Handler handler);
    void SetPreRouting(httplib::Server::HandlerWithResponse handler);

    // Resolves host once, binds that address and starts serving. False with the reason
    // when it cannot bind, or when `loopbackOnly` and the bound address is not loopback
    // (then nothing was served). Loopback() tells whether the bound address is loopback.
    bool Start(const std::string& host, uint16_t port, bool loopbackOnly, std::string* error);
    void Stop();
    uint16_t Port() const { return port_; }
    bool Loopback() const { return loopback_; }
    // "127.0.0.1:29998" or "[::1]:29998" as bound.
    std::string Address() const { return address_; }

    // An event stream may open (false: too many are open; answer 503).
    bool OpenStream();
    void CloseStream();

  private:
    class Listener;
    class RouteServer;
    class Pool;
    void Serve(int sock);
    void Watch();
    // The serving thread's request is wholly read: its deadline no longer applies.
    void RequestRead();

    const THttpLimits limits_;
    std::unique_ptr<RouteServer> routes_;  // never listens: serves what Listener accepted
    std::unique_ptr<Listener> listener_;
    std::thread thread_;
    std::thread watchdog_;
    uint16_t port_ = 0;
    bool loopback_ = false;
    std::string address_;

    std::mutex mu_;  // guards the maps below and stopping_
    std::condition_variable cv_;
    std::map<int, std::chrono::steady_clock::time_point> deadlines_;  // dup'ed fd -> limit
    std::map<std::string, int> perAddress_;
    bool stopping_ = false;
    std::atomic<int> streams_{0};
    limits::TEpisode addressEpisode_;
    limits::TEpisode queueEpisode_;
    limits::TEpisode deadlineEpisode_;
    limits::TEpisode streamEpisode_;
};

}  // namespace tessil
