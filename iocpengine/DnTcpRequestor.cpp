// The engine's high-level I/O front: requests out, events back. Owned by the message
// server; operations from any thread, handlers on reactor workers.
#include "iocpengine/DnTcpRequestor.h"

#include <exception>

#include "iocpengine/DnTcpChannel.h"
#include "iocpengine/DnTcpRequests.h"

namespace tessil {

void TDnTcpAbstractRequestor::SetActive(bool value) {
    bool active = Active();
    if (active && !value) {
        active_.store(TurnOff(), std::memory_order_release);
    } else if (!active && value) {
        active_.store(TurnOn(), std::memory_order_release);
    }
}

void TDnTcpAbstractRequestor::PostLogMessage(std::string_view msg) noexcept {
    if (logger_ == nullptr) return;
    try {
        logger_->LogMsg(logLevel_, msg);
    } catch (...) {
        // A logger that cannot write must not take a completion down with it.
    }
}

template <typename Fn>
void TDnTcpRequestor::Raise(Fn&& fn) noexcept {
    try {
        fn();
    } catch (const std::exception& e) {
        PostLogMessage(e.what());
    } catch (...) {
        PostLogMessage("Unknown error in a requestor event handler");
    }
}

void TDnTcpRequestor::Read(TDnTcpChannel* channel, void* key, char* buf, uint32_t bufSize) {
    if (!CheckAvail()) return;
    channel->RunRequest(new TDnTcpReadRequest(channel, key, this, buf, bufSize, true));
}

void TDnTcpRequestor::ReadString(TDnTcpChannel* channel, void* key, uint32_t size) {
    if (!CheckAvail()) return;
    channel->RunRequest(TDnTcpReadRequest::CreateString(channel, key, this, size, true));
}

void TDnTcpRequestor::RawRead(TDnTcpChannel* channel, void* key, char* buf, uint32_t maxSize) {
    if (!CheckAvail()) return;
    channel->RunRequest(new TDnTcpReadRequest(channel, key, this, buf, maxSize, false));
}

void TDnTcpRequestor::Write(TDnTcpChannel* channel, void* key, const char* buf, uint32_t bufSize) {
    if (!CheckAvail()) return;
    channel->RunRequest(new TDnTcpWriteRequest(channel, key, this, buf, bufSize));
}

void TDnTcpRequestor::WriteString(TDnTcpChannel* channel, void* key, std::string buf) {
    if (!CheckAvail()) return;
    channel->RunRequest(TDnTcpWriteRequest::CreateString(channel, key, this, std::move(buf)));
}

void TDnTcpRequestor::WriteShared(TDnTcpChannel* channel, void* key,
                                  std::shared_ptr<const std::string> buf) {
    if (!CheckAvail()) return;
    channel->RunRequest(TDnTcpWriteRequest::CreateShared(channel, key, this, std::move(buf)));
}

bool TDnTcpRequestor::Append(TDnTcpChannel* channel, void* key, std::string_view head,
                             std::string_view body) {
    if (!CheckAvail()) return false;
    return channel->AppendOutput(this, key, head, body);
}

bool TDnTcpRequestor::AppendShared(TDnTcpChannel* channel, void* key,
                                   const std::shared_ptr<const std::string>& frame) {
    if (!CheckAvail()) return false;
    return channel->AppendOutputShared(this, key, frame);
}

void TDnTcpRequestor::WriteStream(TDnTcpChannel* channel, void* key,
                                  std::unique_ptr<std::istream> stream) {
    if (!CheckAvail()) return;
    channel->RunRequest(TDnTcpWriteRequest::CreateStream(channel, key, this, std::move(stream)));
}

void TDnTcpRequestor::Close(TDnTcpChannel* channel, void* key, bool brutal) {
    if (!CheckAvail() || channel == nullptr) return;
    channel->RunRequest(new TDnTcpCloseRequest(channel, key, this, brutal));
}

void TDnTcpRequestor::ReadLine(TDnTcpChannel* channel, void* key, int32_t maxSize) {
    if (!CheckAvail()) return;
    channel->RunRequest(new TDnTcpLineRequest(channel, key, this, maxSize));
}

void TDnTcpRequestor::DoRead(TDnThreadContext* context, TDnTcpChannel* channel, void* key,
                             const char* buf, uint32_t bufSize) {
    if (onRead_) Raise([&] { onRead_(context, channel, key, buf, bufSize); });
}

void TDnTcpRequestor::DoReadError(TDnThreadContext* context, TDnTcpChannel* channel, void* key,
                                  uint32_t errorCode) {
    DoError(context, channel, key, errorCode);
}

void TDnTcpRequestor::DoReadClose(TDnThreadContext* context, TDnTcpChannel* channel, void* key) {
    DoClientClose(context, channel, key);
}

void TDnTcpRequestor::DoWrite(TDnThreadContext* context, TDnTcpChannel* channel, void* key,
                              const char* buf, uint32_t bufSize) {
    if (onWrite_) Raise([&] { onWrite_(context, channel, key, buf, bufSize); });
}

void TDnTcpRequestor::DoWriteFrames(TDnThreadContext* context, TDnTcpChannel* channel,
                                    const TDnOutputBuffer& out) {
    if (!onWriteFrames_) {
        IDnTcpWriteHandler::DoWriteFrames(context, channel, out);
        return;
    }
    Raise([&] { onWriteFrames_(context, channel, out); });
}

void TDnTcpRequestor::DoWriteError(TDnThreadContext* context, TDnTcpChannel* channel, void* key,
                                   uint32_t errorCode) {
    DoError(context, channel, key, errorCode);
}

void TDnTcpRequestor::DoWriteStream(TDnThreadContext* context, TDnTcpChannel* channel, void* key,
                                    std::istream& stream) {
    if (onWriteStream_) Raise([&] { onWriteStream_(context, channel, key, stream); });
}

void TDnTcpRequestor::DoClose(TDnThreadContext* context, TDnTcpChannel* channel, void* key) {
    channel->CloseSocketHandle();
    if (onClose_) Raise([&] { onClose_(context, channel, key); });
}

void TDnTcpRequestor::DoCloseError(TDnThreadContext* context, TDnTcpChannel* channel, void* key,
                                   uint32_t errorCode) {
    DoError(context, channel, key, errorCode);
}

void TDnTcpRequestor::DoLine(TDnThreadContext* context, TDnTcpChannel* channel, void* key,
                             const std::string& receivedLine, bool eolFound) {
    if (onLine_) Raise([&] { onLine_(context, channel, key, receivedLine, eolFound); });
}

void TDnTcpRequestor::DoLineError(TDnThreadContext* context, TDnTcpChannel* channel, void* key,
                                  uint32_t errorCode) {
    DoError(context, channel, key, errorCode);
}

void TDnTcpRequestor::DoLineClose(TDnThreadContext* context, TDnTcpChannel* channel, void* key) {
    DoClientClose(context, channel, key);
}

void TDnTcpRequestor::DoError(TDnThreadContext* context, TDnTcpChannel* channel, void* key,
                              uint32_t errorCode) {
    if (onError_) Raise([&] { onError_(context, channel, key, errorCode); });
}

void TDnTcpRequestor::DoClientClose(TDnThreadContext* context, TDnTcpChannel* channel, void* key) {
    if (onClientClose_) Raise([&] { onClientClose_(context, channel, key); });
}

}  // namespace tessil
