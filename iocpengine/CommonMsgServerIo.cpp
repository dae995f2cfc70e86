// The message server's engine callbacks: accepting, the receive steps (header, body in
// bounded pieces, handling by kind), handshakes, heartbeats, the client list, sends and
// the close path. Runs on reactor workers; sends are also called from any thread.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <exception>

#include "iocpengine/CommonMsgServerImpl.h"
#include "iocpengine/DnOutputBuffer.h"
#include "platform/AppLog.h"
#include "platform/Errors.h"
#include "platform/LimitEvents.h"
#include "platform/Settings.h"
#include "protocol/MsgFrame.h"

namespace tessil {

using enginestats::TCloseReason;

namespace {

// One log line per episode of refused handshakes, process-wide.
limits::TEpisode handshakeEpisode;

void NoteCloseReason(TClientRec* client, TCloseReason why) {
    int none = -1;
    if (client != nullptr)
        client->FCloseReason.compare_exchange_strong(none, static_cast<int>(why));
}

// The record a channel of this server belongs to (none for a connection refused while
// the server was closing). Only a TMsgServerChannel ever carries a record, and it keeps
// that record alive for its own lifetime.
TClientRec* RecordOf(TDnTcpChannel* channel) {
    return static_cast<TClientRec*>(channel->CustomData());
}

void* WriteKey(uint16_t type, bool withBody) {
    return reinterpret_cast<void*>(static_cast<uintptr_t>(type) * 2 + (withBody ? 1 : 0));
}

// The heartbeat echo never changes: one shared frame serves every connection.
const std::shared_ptr<const std::string>& HeartbeatFrame() {
    static const auto frame = std::make_shared<const std::string>(EncodeFrame(mtHeartbeat, {}));
    return frame;
}

template <typename... Args>
std::string Format(const char* fmt, Args... args) {
    char buf[160];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

}  // namespace

void TCommonMsgServer::Impl::LogCritical(const std::string& msg) noexcept {
    TDnFileLogger* log = liveLogger.load();
    if (log == nullptr) return;
    try {
        log->LogMsg(llCritical, msg);
    } catch (...) {
    }
}

// Accepting: runs with the listener's lock held, so connections register one at a time.
void TCommonMsgServer::Impl::TcpListenerIncoming(TDnThreadContext*, TDnTcpChannel* channel) {
    auto* own = dynamic_cast<TMsgServerChannel*>(channel);
    if (shutdown.load() || own == nullptr) {
        // No record and no read; the peer sees its connection closed at once.
        requestor.Close(channel, nullptr, true);
        return;
    }
    // The connection may be closed and its channel released by another thread as soon as
    // the record is listed (a disconnect from the connect handler or from elsewhere): keep
    // the channel alive until this registration is done.
    struct Hold {
        TDnTcpChannel* ch;
        explicit Hold(TDnTcpChannel* c) : ch(c) { ch->AddRef(rtUser); }
        ~Hold() { ch->Release(rtUser); }
    } hold(channel);
    enginestats::CountAccept();
    std::string address = channel->RemoteAddr();
    bool counted = false;
    if (!AdmitConnection(address, counted)) {
        requestor.Close(channel, nullptr, true);
        return;
    }
    auto client = std::make_shared<TClientRec>();
    client->FCountedAddress = counted;
    client->FAcceptMs.store(NowMs(), std::memory_order_relaxed);
    client->FReadStage = rsHeader;
    client->FAddress = std::move(address);
    client->FPort = std::to_string(channel->RemotePort());
    channel->AddRef(rtClientList);
    client->FChannel = channel;
    own->record = client;
    channel->SetCustomData(client.get());
    {
        std::lock_guard lock(guard);
        client->FListPos = clients.insert(clients.end(), client);
        clientCount.fetch_add(1);
    }
    if (auto fn = onClientConnected.Get()) {
        try {
            (*fn)(owner, client);
        } catch (const std::exception& e) {
            LogCritical(e.what());
        }
    }
    {
        // Under the send lock the close completion cannot run in between: a connection
        // already being closed gets no time-out (which would keep its channel listed with
        // the timer until it expired) and no read.
        std::lock_guard send(client->FSendGuard);
        if (client->FShutdown.load() || client->FChannel == nullptr) return;
        if (TDnTcpReactor* r = liveReactor.load()) r->SetTimeout(channel, timeout.load());
    }
    QueueHeaderRead(client.get(), channel);
}

void TCommonMsgServer::Impl::QueueHeaderRead(TClientRec* client, TDnTcpChannel* channel) {
    client->FReadStage = rsHeader;
    requestor.Read(channel, client, client->FHeaderBuf, kHeaderSize);
}

void TCommonMsgServer::Impl::QueueBodyPiece(TClientRec* client, TDnTcpChannel* channel) {
    uint32_t remaining = client->FReadMsgSize - client->FBodyReceived;
    client->FPieceSize = remaining < kBodyPieceSize ? remaining : kBodyPieceSize;
    const size_t needed = size_t{client->FBodyReceived} + client->FPieceSize;
    if (needed > client->FBodyBuf.capacity()) {
        // Grow geometrically with what has arrived, but never past the announced size.
        size_t grown = std::max(needed, client->FBodyBuf.capacity() * 2);
        client->FBodyBuf.reserve(std::min<size_t>(grown, client->FReadMsgSize));
    }
    client->FBodyBuf.resize(needed);
    requestor.Read(channel, client, client->FBodyBuf.data() + client->FBodyReceived,
                   client->FPieceSize);
}

void TCommonMsgServer::Impl::TcpRequestorTcpRead(TDnThreadContext*, TDnTcpChannel* channel,
                                                 void* key, const char* buf, uint32_t bufSize) {
    auto* client = static_cast<TClientRec*>(key);
    bytesIn.fetch_add(bufSize, std::memory_order_relaxed);
    if (shutdown.load() || client->FShutdown.load()) return;
    // One guarded block: an error in the handling or in queueing the next read is logged
    // and this connection's reading stops (it stays open and listed).
    try {
        if (client->FReadStage == rsHeader)
            HandleHeaderRead(channel, client, buf, bufSize);
        else
            HandleBodyRead(channel, client, buf, bufSize);
    } catch (const std::exception& e) {
        // The connection is closed (its buffers go with the close): a request that failed
        // must not leave a connection listed that nobody reads any more.
        LogCritical(e.what());
        CloseChannel(channel, client, TCloseReason::Failed);
    }
}

void TCommonMsgServer::Impl::HandleHeaderRead(TDnTcpChannel* channel, TClientRec* client,
                                              const char* buf, uint32_t bufSize) {
    if (bufSize < kHeaderSize) {
        LogCritical(Format("Wrong header size %" PRIu32 " bytes", bufSize));
        CloseChannel(channel, client, TCloseReason::PeerClosed);
        return;
    }
    TMsgHeader header = TMsgHeader::Decode(buf);
    const uint32_t phaseLimit = BodyLimit(client);
    if (header.MsgLen > phaseLimit) {
        limits::CountRefusal("frame_size");
        if (sizeEpisode.Begin()) {
            LogCritical(Format("Too big message size: %" PRIu32 " with maximum %" PRIu32,
                               header.MsgLen, phaseLimit));
        }
        CloseChannel(channel, client, TCloseReason::OversizedFrame);
        return;
    }
    client->FReadMsgSize = header.MsgLen;
    client->FReadMsgType = header.MsgType;
    client->FReadStage = rsBody;
    client->FBodyReceived = 0;
    if (header.MsgLen == 0) {
        HandleFrame(channel, client, {});
    } else {
        if (limits.frameMs > 0) client->FFrameSinceMs.store(NowMs(), std::memory_order_relaxed);
        QueueBodyPiece(client, channel);
    }
}

void TCommonMsgServer::Impl::HandleBodyRead(TDnTcpChannel* channel, TClientRec* client, const char*,
                                            uint32_t bufSize) {
    if (bufSize != client->FPieceSize) {
        LogCritical(Format("Cannot read message. Received %" PRIu32 " bytes, expected %" PRIu32 ".",
                           client->FBodyReceived + bufSize, client->FReadMsgSize));
        CloseChannel(channel, client, TCloseReason::PeerClosed);
        return;
    }
    client->FBodyReceived += bufSize;
    if (client->FBodyReceived < client->FReadMsgSize) {
        QueueBodyPiece(client, channel);
        return;
    }
    HandleFrame(channel, client, std::string_view(client->FBodyBuf.data(), client->FReadMsgSize));
}

void TCommonMsgServer::Impl::HandleFrame(TDnTcpChannel* channel, TClientRec* client,
                                         std::string_view body) {
    switch (client->FReadMsgType) {
        case mtData:
            DoDataReceived(client, body);
            break;
        case mtHandshake:
            DoHandshake(client, body);
            break;
        case mtClientList:
            DoClientList(client);
            break;
        case mtHeartbeat:
            InternalSendShared(client, HeartbeatFrame());
            break;
        default:
            break;  // unknown kinds (and kind 4 from a client) are read and dropped
    }
    if (client->FBodyBuf.capacity() > kBodyKeepCapacity)
        std::string().swap(client->FBodyBuf);
    else
        client->FBodyBuf.clear();
    client->FFrameSinceMs.store(0, std::memory_order_relaxed);
    ContinueReading(client, channel);
}

void TCommonMsgServer::Impl::DoDataReceived(TClientRec* client, std::string_view body) {
    auto fn = onDataReceived.Get();
    if (!fn) return;
    (*fn)(owner, client->shared_from_this(), body);
}

void TCommonMsgServer::Impl::DoHandshake(TClientRec* client, std::string_view body) {
    // Fields past their bound are not kept: the client gets the failed verdict, no
    // authentication event, and stays unshaken until its handshake deadline.
    const auto fieldMax =
        static_cast<size_t>(settings::Int("Limits", "HandshakeFieldMax", 256, 1, 1 << 24));
    if (!HandshakeFieldsWithin(body, fieldMax)) {
        limits::CountRefusal("handshake_field");
        if (handshakeEpisode.Begin())
            filelog::Write("Handshake", "a handshake field over HandshakeFieldMax=" +
                                            std::to_string(fieldMax) + " bytes was refused");
        InternalSend(client, mtHandshake, AuthFailedStr);
        return;
    }
    try {
        std::string rest(body);
        TMsgClientInfo parsed;
        parsed.SerializeFrom(rest);
        std::lock_guard lock(guard);
        client->FID = std::move(parsed.FID);
        client->FUser = std::move(parsed.FUser);
        client->FPassword = std::move(parsed.FPassword);
        client->FVersion = std::move(parsed.FVersion);
        client->FHandshaken.store(true);
    } catch (const std::exception& e) {
        DoError(client, e.what());
        return;
    }
    bool authenticated = false;
    if (auto fn = onClientAuthentication.Get()) {
        try {
            (*fn)(owner, client->shared_from_this(), authenticated);
        } catch (...) {
            // The verdict is whatever the handler had set when it raised.
        }
    }
    InternalSend(client, mtHandshake, authenticated ? AuthOkStr : AuthFailedStr);
}

void TCommonMsgServer::Impl::DoClientList(TClientRec* client) {
    std::vector<std::string> records;
    {
        std::lock_guard lock(guard);
        records.reserve(clients.size());
        // Every other connection's record goes out without its handshake password.
        for (const auto& c : clients) records.push_back(c->SerializeTo(c.get() == client));
    }
    std::vector<std::string> chunks = BuildClientListChunks(records);
    uint64_t bytes = 0;
    for (size_t i = 0; i < chunks.size(); ++i) {
        uint16_t type = i + 1 < chunks.size() ? mtClientList : mtClientListLast;
        InternalSend(client, type, chunks[i]);
        bytes += chunks[i].size();
    }
    ChargeReply(client, bytes);
}

void TCommonMsgServer::Impl::DoError(TClientRec* client, const std::string& msg) {
    if (!active.load() || client == nullptr) return;
    auto fn = onError.Get();
    if (!fn) return;
    try {
        (*fn)(owner, client->shared_from_this(), msg);
    } catch (...) {
    }
}

void TCommonMsgServer::Impl::HandleTimeout(TDnThreadContext*, TDnTcpChannel* channel) {
    DoError(RecordOf(channel), "I/O timeouted.");
}

bool TCommonMsgServer::Impl::InternalSend(TClientRec* client, uint16_t type,
                                          std::string_view body) {
    char header[kHeaderSize];
    TMsgHeader{static_cast<uint32_t>(body.size()), type}.EncodeTo(header);
    const uint64_t size = kHeaderSize + body.size() + kQueuedFrameOverhead;
    return QueueCounted(client, size, [&](TDnTcpChannel* channel) {
        requestor.Append(channel, WriteKey(type, !body.empty()),
                         std::string_view(header, kHeaderSize), body);
    });
}

bool TCommonMsgServer::Impl::InternalSendShared(TClientRec* client,
                                                const std::shared_ptr<const std::string>& frame) {
    if (frame->size() < kHeaderSize) return false;
    const TMsgHeader header = TMsgHeader::Decode(frame->data());
    const uint64_t size = frame->size() + kQueuedFrameOverhead;
    void* const key = WriteKey(header.MsgType, header.MsgLen > 0);
    // A frame this short is copied: that costs less than the reference's count and one
    // more piece in the send. A longer one (a room's notice, built once for all its
    // members) is referenced by each member's output buffer, so a fan-out writes a mark
    // per member instead of the frame.
    constexpr size_t kMinReferencedFrame = 256;
    if (frame->size() < kMinReferencedFrame)
        return QueueCounted(
            client, size, [&](TDnTcpChannel* channel) { requestor.Append(channel, key, *frame); });
    return QueueCounted(
        client, size, [&](TDnTcpChannel* channel) { requestor.AppendShared(channel, key, frame); });
}

template <typename Queue>
bool TCommonMsgServer::Impl::QueueCounted(TClientRec* client, uint64_t size, Queue&& queue) {
    uint64_t pending = 0;
    {
        std::lock_guard send(client->FSendGuard);
        if (client->FChannel == nullptr) return false;
        // Counted before queuing: the write may complete on a worker at once.
        pending = client->FPendingOut.fetch_add(size) + size;
        try {
            queue(client->FChannel);
        } catch (...) {
            client->FPendingOut.fetch_sub(size);
            throw;
        }
    }
    // The newest frame is not counted against the limit: one large message never closes
    // a client that reads, only a backlog that keeps growing does.
    CheckPending(client, pending - size);
    return true;
}

void TCommonMsgServer::Impl::CheckPending(TClientRec* client, uint64_t pending) {
    const uint64_t limit = limits.hardPendingOut > 0
                               ? limits.hardPendingOut
                               : maxPendingOut.load(std::memory_order_relaxed);
    if (pending <= limit || client->FShutdown.load()) return;
    limits::CountRefusal("output_backlog");
    LogCritical(Format("Too much unsent data: %" PRIu64 " bytes with maximum %" PRIu64
                       ". Connection closed.",
                       pending, limit));
    CloseClient(client, TCloseReason::Backlog);
}

void TCommonMsgServer::Impl::TcpRequestorTcpWriteFrames(TDnTcpChannel* channel,
                                                        const TDnOutputMark* marks, size_t count) {
    if (count == 0) return;
    const uint64_t bytes = marks[count - 1].end;
    bytesOut.fetch_add(bytes, std::memory_order_relaxed);
    TClientRec* client = RecordOf(channel);
    if (client == nullptr) return;
    // Read before the bytes are uncounted: whoever sees them uncounted may rely on the
    // setting this send was reported under.
    const bool report = streamSentEvents.load();
    const uint64_t counted = bytes + count * kQueuedFrameOverhead;
    const uint64_t left = client->FPendingOut.fetch_sub(counted) - counted;
    if ((client->FParked.load() & kParkOutput) != 0 && left <= limits.softPendingOut / 2)
        Resume(client, kParkOutput);
    if (!report) return;
    auto fn = onStreamSent.Get();
    if (!fn) return;
    void* const dataKey = WriteKey(mtData, true);
    TClientRecPtr shared;
    uint32_t start = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t size = marks[i].end - start;
        start = marks[i].end;
        // Only the body of a data frame is reported.
        if (marks[i].key != dataKey || size < kHeaderSize) continue;
        if (!shared) shared = client->shared_from_this();
        try {
            (*fn)(owner, shared, size - kHeaderSize);
        } catch (const std::exception& e) {
            LogCritical(e.what());
        }
    }
}

void TCommonMsgServer::Impl::TcpRequestorTcpWriteStream(TDnThreadContext*, TDnTcpChannel*, void*,
                                                        std::istream&) {
    // The server queues no stream writes of its own.
}

void TCommonMsgServer::Impl::CloseClient(TClientRec* client, TCloseReason why) {
    std::lock_guard send(client->FSendGuard);
    if (client->FChannel == nullptr) return;
    NoteCloseReason(client, why);
    client->FShutdown.store(true);
    requestor.Close(client->FChannel, client, true);
}

void TCommonMsgServer::Impl::CloseChannel(TDnTcpChannel* channel, TClientRec* client,
                                          TCloseReason why) {
    NoteCloseReason(client, why);
    if (client != nullptr) client->FShutdown.store(true);
    requestor.Close(channel, client, true);
}

void TCommonMsgServer::Impl::TcpRequestorTcpClientClose(TDnThreadContext*, TDnTcpChannel* channel,
                                                        void*) {
    try {
        CloseChannel(channel, RecordOf(channel), TCloseReason::PeerClosed);
    } catch (...) {
        LogCritical("Failed to enqueue close command.");
    }
}

void TCommonMsgServer::Impl::TcpRequestorTcpError(TDnThreadContext*, TDnTcpChannel* channel, void*,
                                                  uint32_t errorCode) {
    // A handle that is already closed, or an operation cut short by our own close, needs
    // no further close.
    int code = static_cast<int>(errorCode);
    if (platform::IsNotSocketError(code) || code == platform::kErrOperationAborted) return;
    try {
        CloseChannel(channel, RecordOf(channel), TCloseReason::PeerClosed);
    } catch (...) {
        LogCritical("Failed to enqueue close command.");
    }
}

// The close completion: the socket is closed by now. The record gives its channel back,
// leaves the list, and the disconnect is reported exactly once, with no lock held.
void TCommonMsgServer::Impl::TcpRequestorTcpClose(TDnThreadContext*, TDnTcpChannel* channel,
                                                  void*) {
    TClientRec* raw = RecordOf(channel);
    if (raw == nullptr) return;
    TClientRecPtr client = raw->shared_from_this();
    TDnTcpChannel* own = nullptr;
    {
        std::lock_guard send(client->FSendGuard);
        own = client->FChannel;
        client->FChannel = nullptr;
        client->FShutdown.store(true);
    }
    if (own != nullptr) {
        if (TDnTcpReactor* r = liveReactor.load()) r->RemoveChannel(own);
        own->Release(rtClientList);
    }
    // The body buffer stays with the record: a read handler that completed before the
    // close may still be handling the frame in it on another worker. Each frame handled
    // shrinks it to at most kBodyKeepCapacity, and it goes with the record.
    bool first = false;
    {
        std::lock_guard lock(guard);
        if (!client->FRemoved.exchange(true)) {
            first = true;
            clients.erase(client->FListPos);
            clientCount.fetch_sub(1);
        }
    }
    if (!first) return;
    ForgetAddress(client.get());
    closesSinceTrim.fetch_add(1, std::memory_order_relaxed);
    const int why = client->FCloseReason.load();
    enginestats::CountClose(why < 0 ? TCloseReason::PeerClosed : static_cast<TCloseReason>(why));
    DoDisconnected(client);
    listChanged.notify_all();
}

void TCommonMsgServer::Impl::DoDisconnected(const TClientRecPtr& client) {
    if (auto fn = onClientDisconnected.Get()) {
        try {
            (*fn)(owner, client);
        } catch (...) {
        }
    }
}

}  // namespace tessil
