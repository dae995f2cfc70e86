// A message transport for tests that captures every frame and close instead of sending:
// bodies are decoded back to reply texts per client. Header-only; any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "iocpengine/ClientRec.h"
#include "iocpengine/MsgTransport.h"
#include "protocol/MsgFrame.h"
#include "protocol/TextUtils.h"

namespace tessil::test {

// A client record as the message server would make it for a connection.
inline TClientRecPtr MakeClient(const std::string& port = "50000") {
    auto c = std::make_shared<TClientRec>();
    c->FAddress = "127.0.0.1";
    c->FPort = port;
    return c;
}

// The body of a data message carrying a JSON request.
inline std::string RequestBody(std::string_view json) {
    return "TXT" + Base64Encode(json);
}

class FakeTransport : public IMsgTransport {
  public:
    struct Sent {
        TClientRecPtr client;      // held, so that no other record reuses the address
        std::string body;          // the raw Base64 body
        std::string text;          // the decoded reply text
        const std::string* frame;  // identity of a shared frame, null for SendString
    };

    bool IsActive() const override { return active; }
    void SendString(std::string_view body, const TClientRecPtr& client) override {
        record(client, std::string(body), nullptr);
    }
    void SendFrame(const std::shared_ptr<const std::string>& frame,
                   const TClientRecPtr& client) override {
        TMsgHeader h = TMsgHeader::Decode(frame->data());
        if (h.MsgType != mtData || h.MsgLen != frame->size() - kHeaderSize) {
            record(client, "<bad frame>", frame.get());
            return;
        }
        record(client, frame->substr(kHeaderSize), frame.get());
    }
    void DisconnectClient(const TClientRecPtr& client) override {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_.push_back(client);
        changed_.notify_all();
    }
    int32_t GetClientCount() const override { return 7; }
    void ChargeReply(const TClientRecPtr& client, uint64_t bytes) override {
        std::lock_guard<std::mutex> lock(mutex_);
        charged_[client.get()] += bytes;
    }
    // Reply bytes charged to a client's request rate so far.
    uint64_t Charged(const TClientRecPtr& client) const {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = charged_.find(client.get());
        return it == charged_.end() ? 0 : it->second;
    }

    // Reply texts sent to one client, in order.
    std::vector<std::string> TextsFor(const TClientRecPtr& client) const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> out;
        for (const auto& s : sent_)
            if (s.client == client) out.push_back(s.text);
        return out;
    }
    std::vector<Sent> All() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return sent_;
    }
    int Closes(const TClientRecPtr& client) const {
        std::lock_guard<std::mutex> lock(mutex_);
        int n = 0;
        for (const auto& c : closed_) n += c == client;
        return n;
    }
    // Waits until pred() holds (checked whenever something arrives) or the time-out passes.
    bool WaitFor(const std::function<bool()>& pred,
                 std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
        const auto until = std::chrono::steady_clock::now() + timeout;
        while (!pred()) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait_for(lock, std::chrono::milliseconds(5));
        }
        return true;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        sent_.clear();
        closed_.clear();
    }

    std::atomic<bool> active{true};

  private:
    void record(const TClientRecPtr& client, std::string body, const std::string* frame) {
        std::string text = DecodeStr(body);
        std::lock_guard<std::mutex> lock(mutex_);
        sent_.push_back(Sent{client, std::move(body), std::move(text), frame});
        changed_.notify_all();
    }

    mutable std::mutex mutex_;
    std::map<const TClientRec*, uint64_t> charged_;
    mutable std::condition_variable changed_;
    std::vector<Sent> sent_;
    std::vector<TClientRecPtr> closed_;
};

}  // namespace tessil::test
