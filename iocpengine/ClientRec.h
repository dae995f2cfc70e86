// The message server's record of one connection: the client-info record plus the read
// state, the channel and the send lock. Shared: the server's client list holds it while
// the connection is listed, the connection's channel until its last request is done, and
// everyone else holds a shared_ptr, so late work (a queued reply, a pending close, the
// lobby) never touches freed memory. Read and written on engine worker threads.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "protocol/MsgFrame.h"

namespace tessil {

class TDnTcpChannel;

enum TClientReadStage : int32_t { rsHeader = 0, rsBody = 1 };

class TClientRec : public TMsgClientInfo, public std::enable_shared_from_this<TClientRec> {
  public:
    TClientReadStage FReadStage = rsHeader;
    uint32_t FReadMsgSize = 0;
    uint16_t FReadMsgType = 0;
    // The connection; holds one rtClientList reference while set. Cleared when the
    // close completes. Read and written only under FSendGuard.
    TDnTcpChannel* FChannel = nullptr;
    // Keeps the header and the body of one frame adjacent on the wire.
    std::recursive_mutex FSendGuard;
    // Set when the server starts closing this client: reads are ignored, sends skipped.
    std::atomic<bool> FShutdown{false};
    // Set when the record has left the client list.
    std::atomic<bool> FRemoved{false};
    // The record's place in the server's client list (valid while listed, under the
    // list's lock), so that leaving it costs no search.
    std::list<std::shared_ptr<TClientRec>>::iterator FListPos;
    // Bytes queued for sending and not yet written; a client that stops reading is
    // closed once this passes the server's limit.
    std::atomic<uint64_t> FPendingOut{0};
    // Why the server closes the connection (an enginestats::TCloseReason); the first
    // close decides, and the close completion counts it. -1: the peer went away.
    std::atomic<int> FCloseReason{-1};

    // Bounds bookkeeping (see TConnectionLimits), steady-clock milliseconds; 0 = unset.
    std::atomic<int64_t> FAcceptMs{0};
    std::atomic<bool> FHandshaken{false};
    std::atomic<int64_t> FFrameSinceMs{0};  // a body in progress since
    std::atomic<int64_t> FSoftSinceMs{0};   // unsent data above the soft limit since
    // Why reading is paused (no read outstanding): kParkOutput, kParkTokens.
    std::atomic<uint8_t> FParked{0};
    bool FCountedAddress = false;  // counted in the per-address table (set at accept)
    // The request bucket: touched by the reading side only (the outstanding read, or
    // whoever resumes a paused connection).
    double FTokens = 0;
    // Requests charged for list replies (any thread), taken from the bucket by the reading
    // side before the next frame.
    std::atomic<uint64_t> FTokenDebt{0};
    int64_t FTokenMs = 0;
    int64_t FThrottledSinceMs = 0;

    // Set by the application's connect event, before the record is shared further: the
    // connection's number and time for the logs and the panel.
    uint64_t FConnNo = 0;
    std::chrono::system_clock::time_point FConnectedAt{};

    // Receive buffers of the message server; only the connection's one outstanding read
    // touches them. A body grows as its pieces arrive, never up front.
    char FHeaderBuf[6] = {};
    std::string FBodyBuf;
    uint32_t FBodyReceived = 0;
    uint32_t FPieceSize = 0;
};

using TClientRecPtr = std::shared_ptr<TClientRec>;

}  // namespace tessil
