// The bounds the message server puts on each connection: admission caps, deadlines for
// the handshake, the login and a frame in progress, frame sizes by phase, output backlog
// limits and the request rate. A plain value set on the server before it opens; the
// application fills it from the settings file. Read by workers and the server's sweeper.
#pragma once

#include <cstdint>
#include <string>

namespace tessil {

struct TConnectionLimits {
    // 0 in any field means "no bound" (a bare message server has none of these).
    int64_t maxConnections = 0;       // whole server
    int64_t maxPerAddress = 0;        // connections from one IPv4 address
    std::string perAddressExempt;     // comma-separated addresses the per-address cap skips
    int64_t handshakeMs = 0;          // from accept to the handshake frame
    int64_t loginMs = 0;              // from accept to LOGIN success
    int64_t frameMs = 0;              // from a frame's first byte to its last
    uint32_t maxBodyBeforeLogin = 0;  // body bytes of one frame before LOGIN
    uint32_t maxBodyAfterLogin = 0;   // and after
    uint64_t softPendingOut = 0;      // unsent bytes above which reading stops ...
    int64_t softPendingMs = 0;        // ... and the client is closed when held this long
    uint64_t hardPendingOut = 0;      // closed at once (the newest frame not counted)
    double requestRate = 0;           // data frames per second, sustained
    double requestBurst = 0;          // bucket size
    int64_t floodMs = 0;              // throttled without pause this long: closed
    // A list reply (the client list, a user or room list) costs its requester one
    // request more for every this many bytes, from the same bucket: building it costs the
    // server in proportion to its size, and one client must not make it do so at the
    // rate of chat lines. 0: every request costs one.
    uint32_t replyBytesPerRequest = 0;

    bool NeedsSweeper() const {
        return handshakeMs > 0 || loginMs > 0 || frameMs > 0 || softPendingMs > 0 ||
               requestRate > 0;
    }

    // The [Limits] section of the settings file with the production defaults; the global
    // cap is held below the process's descriptor limit by a reserve.
    static TConnectionLimits FromSettings();
};

// Unsent bytes a queued frame is counted for beyond its own bytes: its mark in the output
// buffer and the buffer's slack, rounded up generously, so that a backlog of tiny frames
// reaches the output limits as surely as one of large frames.
inline constexpr uint64_t kQueuedFrameOverhead = 256;

}  // namespace tessil
