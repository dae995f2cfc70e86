// The message server's bounds: admission caps, the request bucket, pausing and resuming
// reads, and the sweeper that enforces the deadlines and the output backlog. Admission
// runs on the accepting worker, the bucket on the reading worker, the sweeper on its own
// thread (one per open server).
#include <malloc.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <sstream>

#include "iocpengine/CommonMsgServerImpl.h"

namespace tessil {

using enginestats::TCloseReason;

int64_t NowMs() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::milliseconds>(now).count() + 1;
}

namespace {

bool Listed(const std::string& list, const std::string& item) {
    std::istringstream in(list);
    for (std::string one; std::getline(in, one, ',');) {
        const auto b = one.find_first_not_of(' ');
        const auto e = one.find_last_not_of(' ');
        if (b != std::string::npos && one.compare(b, e - b + 1, item) == 0) return true;
    }
    return false;
}

// Returning freed memory to the system costs a walk of the heap: at most this often.
constexpr int64_t kTrimIntervalMs = 5000;

}  // namespace

bool TCommonMsgServer::Impl::AdmitConnection(const std::string& address, bool& counted) {
    counted = false;
    if (limits.maxConnections > 0 && clientCount.load() >= limits.maxConnections) {
        limits::CountRefusal("connections");
        if (refuseEpisode.Begin()) {
            LogCritical("Too many connections: maximum " + std::to_string(limits.maxConnections) +
                        ". New connections are refused.");
        }
        return false;
    }
    if (limits.maxPerAddress <= 0 || Listed(limits.perAddressExempt, address)) return true;
    std::lock_guard lock(addrMu);
    int& n = perAddress[address];
    if (n >= limits.maxPerAddress) {
        if (n == 0) perAddress.erase(address);
        limits::CountRefusal("connections_per_address");
        if (addressEpisode.Begin()) {
            LogCritical("Too many connections from " + address + ": maximum " +
                        std::to_string(limits.maxPerAddress) + ". New connections are refused.");
        }
        return false;
    }
    ++n;
    counted = true;
    return true;
}

void TCommonMsgServer::Impl::ForgetAddress(TClientRec* client) {
    if (!client->FCountedAddress) return;
    client->FCountedAddress = false;
    std::lock_guard lock(addrMu);
    auto it = perAddress.find(client->FAddress);
    if (it != perAddress.end() && --it->second <= 0) perAddress.erase(it);
}

uint32_t TCommonMsgServer::Impl::BodyLimit(const TClientRec* client) const {
    const uint32_t phase = client->FLoginState.load(std::memory_order_relaxed) == 1
                               ? limits.maxBodyAfterLogin
                               : limits.maxBodyBeforeLogin;
    return phase > 0 && phase < MaxMessageSize ? phase : MaxMessageSize;
}

void TCommonMsgServer::Impl::ChargeReply(TClientRec* client, uint64_t bytes) {
    if (limits.requestRate <= 0 || limits.replyBytesPerRequest == 0) return;
    const uint64_t requests = bytes / limits.replyBytesPerRequest;
    if (requests > 0) client->FTokenDebt.fetch_add(requests, std::memory_order_relaxed);
}

bool TCommonMsgServer::Impl::TakeToken(TClientRec* c, int64_t now) {
    const double burst = limits.requestBurst > 0 ? limits.requestBurst : limits.requestRate;
    if (c->FTokenMs == 0) {
        c->FTokens = burst;
    } else if (now > c->FTokenMs) {
        c->FTokens += static_cast<double>(now - c->FTokenMs) * limits.requestRate / 1000.0;
        if (c->FTokens > burst) c->FTokens = burst;
    }
    c->FTokenMs = now;
    // What list replies cost beyond their requests: the bucket may go below zero, and the
    // connection then waits for it to refill.
    if (c->FTokenDebt.load(std::memory_order_relaxed) != 0)
        c->FTokens -= static_cast<double>(c->FTokenDebt.exchange(0, std::memory_order_relaxed));
    // A client whose bucket has filled up again has slowed down: no flood.
    if (c->FTokens >= burst) c->FThrottledSinceMs = 0;
    if (c->FTokens >= 1) {
        c->FTokens -= 1;
        return true;
    }
    if (c->FThrottledSinceMs == 0) c->FThrottledSinceMs = now;
    return false;
}

void TCommonMsgServer::Impl::ContinueReading(TClientRec* client, TDnTcpChannel* channel) {
    uint8_t why = 0;
    if (limits.softPendingOut > 0 && client->FPendingOut.load() > limits.softPendingOut)
        why |= kParkOutput;
    // Data frames (requests) and client-list requests draw on the bucket; heartbeats do not.
    const bool metered = client->FReadMsgType == mtData || client->FReadMsgType == mtClientList;
    if (limits.requestRate > 0 && metered && !TakeToken(client, NowMs())) why |= kParkTokens;
    if (why == 0) {
        QueueHeaderRead(client, channel);
        return;
    }
    // No read is outstanding from here on: whoever clears the last reason queues it.
    client->FParked.store(why);
    // The backlog may have drained between the check and the pause.
    if ((why & kParkOutput) && client->FPendingOut.load() <= limits.softPendingOut / 2)
        Resume(client, kParkOutput);
}

void TCommonMsgServer::Impl::Resume(TClientRec* client, uint8_t reason) {
    uint8_t cur = client->FParked.load();
    while ((cur & reason) != 0) {
        const uint8_t rest = static_cast<uint8_t>(cur & ~reason);
        if (!client->FParked.compare_exchange_weak(cur, rest)) continue;
        if (rest != 0) return;
        std::lock_guard send(client->FSendGuard);
        if (client->FChannel == nullptr || client->FShutdown.load()) return;
        try {
            QueueHeaderRead(client, client->FChannel);
        } catch (const std::exception& e) {
            LogCritical(e.what());
        }
        return;
    }
}

void TCommonMsgServer::Impl::CloseForLimit(TClientRec* client, TCloseReason why,
                                           const char* counter, const std::string& line) {
    if (client->FShutdown.load()) return;
    limits::CountRefusal(counter);
    if (closeEpisodes[static_cast<int>(why)].Begin()) LogCritical(line);
    CloseClient(client, why);
}

void TCommonMsgServer::Impl::StartSweeper() {
    if (!limits.NeedsSweeper() || sweeper.joinable()) return;
    {
        std::lock_guard lock(sweepMu);
        sweepStop = false;
    }
    sweeper = std::thread([this] {
        int64_t lastTrim = NowMs();
        std::unique_lock lock(sweepMu);
        while (!sweepWake.wait_for(lock, std::chrono::milliseconds(kSweepIntervalMs),
                                   [this] { return sweepStop; })) {
            lock.unlock();
            const int64_t now = NowMs();
            try {
                SweepOnce(now);
                // Memory that departed clients freed goes back to the system, off the
                // workers and at most every few seconds.
                if (closesSinceTrim.load() > 0 && now - lastTrim >= kTrimIntervalMs) {
                    closesSinceTrim.store(0);
                    lastTrim = now;
                    malloc_trim(0);
                }
            } catch (const std::exception& e) {
                LogCritical(e.what());
            }
            lock.lock();
        }
    });
}

void TCommonMsgServer::Impl::StopSweeper() {
    {
        std::lock_guard lock(sweepMu);
        sweepStop = true;
    }
    sweepWake.notify_all();
    if (sweeper.joinable()) sweeper.join();
}

void TCommonMsgServer::Impl::SweepOnce(int64_t now) {
    std::vector<TClientRecPtr> all;
    {
        std::lock_guard lock(guard);
        all.assign(clients.begin(), clients.end());
    }
    const TConnectionLimits& l = limits;
    for (const TClientRecPtr& c : all) {
        if (c->FShutdown.load()) continue;
        const int64_t age = now - c->FAcceptMs.load(std::memory_order_relaxed);
        if (l.handshakeMs > 0 && !c->FHandshaken.load() && age > l.handshakeMs) {
            CloseForLimit(
                c.get(), TCloseReason::Handshake, "handshake_deadline",
                "No handshake within " + std::to_string(l.handshakeMs) + " ms. Connection closed.");
            continue;
        }
        if (l.loginMs > 0 && c->FLoginState.load() != 1 && age > l.loginMs) {
            CloseForLimit(
                c.get(), TCloseReason::Login, "login_deadline",
                "No login within " + std::to_string(l.loginMs) + " ms. Connection closed.");
            continue;
        }
        if (l.frameMs > 0) {
            int64_t since = c->FFrameSinceMs.load(std::memory_order_relaxed);
            {
                std::lock_guard send(c->FSendGuard);
                if (c->FChannel != nullptr) {
                    const int64_t partial = c->FChannel->PartialReadSinceMs();
                    if (partial != 0 && (since == 0 || partial < since)) since = partial;
                }
            }
            if (since != 0 && now - since > l.frameMs) {
                CloseForLimit(c.get(), TCloseReason::SlowFrame, "frame_deadline",
                              "Frame not completed within " + std::to_string(l.frameMs) +
                                  " ms. Connection closed.");
                continue;
            }
        }
        const uint64_t pending = c->FPendingOut.load();
        // Not draining: above the soft limit, or still paused by it (reading stopped there
        // and the client has not read enough since to resume it).
        bool backedUp = (c->FParked.load() & kParkOutput) != 0;
        if (backedUp && pending <= l.softPendingOut / 2) {
            Resume(c.get(), kParkOutput);  // drained while the pause was being decided
            backedUp = false;
        }
        if (l.softPendingOut > 0 && (pending > l.softPendingOut || backedUp)) {
            int64_t since = c->FSoftSinceMs.load();
            if (since == 0) {
                c->FSoftSinceMs.store(now);
            } else if (l.softPendingMs > 0 && now - since > l.softPendingMs) {
                CloseForLimit(c.get(), TCloseReason::Backlog, "output_backlog",
                              "Unsent data above " + std::to_string(l.softPendingOut) +
                                  " bytes for " + std::to_string(l.softPendingMs) +
                                  " ms. Connection closed.");
                continue;
            }
        } else {
            if (c->FSoftSinceMs.load() != 0) c->FSoftSinceMs.store(0);
        }
        if ((c->FParked.load() & kParkTokens) != 0) {
            // Paused for the bucket: no read is outstanding, so this thread owns it now.
            if (l.floodMs > 0 && c->FThrottledSinceMs != 0 &&
                now - c->FThrottledSinceMs > l.floodMs) {
                char rate[32];
                std::snprintf(rate, sizeof rate, "%g", l.requestRate);
                CloseForLimit(c.get(), TCloseReason::Flood, "request_rate",
                              std::string("Requests above ") + rate + " per second for " +
                                  std::to_string(l.floodMs) + " ms. Connection closed.");
                continue;
            }
            const double refill = static_cast<double>(now - c->FTokenMs) * l.requestRate / 1000.0;
            if (c->FTokens + refill >= 1) Resume(c.get(), kParkTokens);
        }
    }
}

}  // namespace tessil
