// A message server on an ephemeral loopback port with recording event handlers and a
// private log directory, for the message-server and end-to-end tests. Header-only so
// that only the test programs that link the server include it. Events record on worker
// threads; the test thread waits on them.
#pragma once

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "iocpengine/CommonMsgServer.h"
#include "platform/LogFile.h"

namespace tessil::test {

class MsgServerHarness {
  public:
    struct Options {
        bool authenticate = true;  // install a handler that accepts every client
        bool open = true;          // open the server in the constructor
        uint32_t timeoutSeconds = 0;
        int workers = 4;
    };

    MsgServerHarness() : MsgServerHarness(Options{}) {}
    explicit MsgServerHarness(Options options) {
        char tmpl[] = "/tmp/tessil-msgsrv-XXXXXX";
        logDir_ = ::mkdtemp(tmpl);
        server.SetPort(0);
        server.SetLogDir(logDir_);
        server.SetTimeout(options.timeoutSeconds);
        server.SetWorkerCount(options.workers);
        server.SetOnClientConnected([this](TCommonMsgServer&, const TClientRecPtr& c) {
            Record([&] { connected.push_back(c); });
        });
        server.SetOnClientDisconnected([this](TCommonMsgServer&, const TClientRecPtr& c) {
            Record([&] {
                ++disconnectCount[c.get()];
                disconnected.push_back(c);
            });
        });
        if (options.authenticate) {
            server.SetOnClientAuthentication(
                [this](TCommonMsgServer& s, const TClientRecPtr& c, bool& ok) {
                    ok = true;
                    if (onAuthenticate) onAuthenticate(s, c);
                });
        }
        server.SetOnDataReceived(
            [this](TCommonMsgServer& s, const TClientRecPtr& c, std::string_view body) {
                Record([&] { received.emplace_back(body); });
                if (onData) onData(s, c, body);
            });
        server.SetOnError([this](TCommonMsgServer&, const TClientRecPtr&, const std::string& m) {
            Record([&] { errors.push_back(m); });
        });
        if (options.open) server.Open();
    }

    ~MsgServerHarness() {
        server.Close();
        std::error_code ec;
        std::filesystem::remove_all(logDir_, ec);
    }

    uint16_t Port() const { return server.Port(); }
    const std::string& LogDir() const { return logDir_; }

    // The engine log's content so far (its writer thread has written what was logged).
    std::string EngineLog() const {
        TLogFile::FlushAll();
        std::ifstream in(logDir_ + "/Velmora.log", std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    // Waits until pred (evaluated under the recording lock) holds.
    bool WaitUntil(const std::function<bool()>& pred,
                   std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::unique_lock lock(mu_);
        return cv_.wait_for(lock, timeout, pred);
    }
    template <typename Fn>
    auto Locked(Fn fn) {
        std::lock_guard lock(mu_);
        return fn();
    }

    TCommonMsgServer server;
    // Extra behaviour of the handlers (set before clients connect).
    std::function<void(TCommonMsgServer&, const TClientRecPtr&)> onAuthenticate;
    std::function<void(TCommonMsgServer&, const TClientRecPtr&, std::string_view)> onData;

    // Recorded under the lock.
    std::vector<TClientRecPtr> connected;
    std::vector<TClientRecPtr> disconnected;
    std::map<const TClientRec*, int> disconnectCount;
    std::vector<std::string> received;
    std::vector<std::string> errors;

  private:
    template <typename Fn>
    void Record(Fn fn) {
        {
            std::lock_guard lock(mu_);
            fn();
        }
        cv_.notify_all();
    }

    std::string logDir_;
    std::mutex mu_;
    std::condition_variable cv_;
};

}  // namespace tessil::test
