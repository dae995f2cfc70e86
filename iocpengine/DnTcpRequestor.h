// The engine's high-level I/O front: turns read, write and close calls on a channel into
// engine requests and their completions into events. Owned by the message server, which
// must keep it alive until every request it created has completed or been dropped.
// Operations are called from any thread; events run on reactor workers.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <string>
#include <string_view>

#include "iocpengine/DnLogger.h"
#include "iocpengine/DnTcpRequest.h"

namespace tessil {

class TDnTcpReactor;
class TDnTcpChannel;
class TDnAbstractExecutor;

// What every requestor shares: the reactor, the executor, the logger and the on/off
// switch. The references are not owned.
class TDnTcpAbstractRequestor {
  public:
    TDnTcpAbstractRequestor() = default;
    virtual ~TDnTcpAbstractRequestor() = default;
    TDnTcpAbstractRequestor(const TDnTcpAbstractRequestor&) = delete;
    TDnTcpAbstractRequestor& operator=(const TDnTcpAbstractRequestor&) = delete;

    TDnTcpReactor* Reactor() const { return reactor_; }
    void SetReactor(TDnTcpReactor* reactor) { reactor_ = reactor; }
    TDnAbstractExecutor* Executor() const { return executor_; }
    void SetExecutor(TDnAbstractExecutor* executor) { executor_ = executor; }
    TDnAbstractLogger* Logger() const { return logger_; }
    void SetLogger(TDnAbstractLogger* logger) { logger_ = logger; }
    TDnLogLevel LogLevel() const { return logLevel_; }
    void SetLogLevel(TDnLogLevel level) { logLevel_ = level; }

    bool Active() const { return active_.load(std::memory_order_acquire); }
    // Calls TurnOn or TurnOff only on a real change and keeps the result as the state.
    void SetActive(bool value);
    bool CheckAvail() const { return Active(); }

    // Logs msg at LogLevel when a logger is set; a failing logger is ignored.
    void PostLogMessage(std::string_view msg) noexcept;

  protected:
    virtual bool TurnOn() { return true; }
    virtual bool TurnOff() { return false; }

  private:
    TDnTcpReactor* reactor_ = nullptr;
    TDnAbstractExecutor* executor_ = nullptr;
    TDnAbstractLogger* logger_ = nullptr;
    TDnLogLevel logLevel_ = llMandatory;
    std::atomic<bool> active_{false};
};

// The requestor: every operation does nothing while it is inactive; otherwise it builds
// one request with the given key and hands it to the channel, which runs it now or
// queues it behind that channel's earlier requests of the same direction. The key comes
// back unchanged with the completion. Events are set before the requestor is switched on
// and not changed while it is on; an exception a handler raises is logged and dropped.
class TDnTcpRequestor : public TDnTcpAbstractRequestor,
                        public IDnTcpReadHandler,
                        public IDnTcpWriteHandler,
                        public IDnTcpCloseHandler,
                        public IDnTcpLineHandler {
  public:
    using TDnTcpRead = std::function<void(TDnThreadContext*, TDnTcpChannel*, void* key,
                                          const char* buf, uint32_t bufSize)>;
    using TDnTcpWrite = TDnTcpRead;
    using TDnTcpError =
        std::function<void(TDnThreadContext*, TDnTcpChannel*, void* key, uint32_t errorCode)>;
    using TDnTcpClose = std::function<void(TDnThreadContext*, TDnTcpChannel*, void* key)>;
    using TDnTcpClientClose = TDnTcpClose;
    using TDnTcpLine = std::function<void(TDnThreadContext*, TDnTcpChannel*, void* key,
                                          const std::string& receivedLine, bool eolFound)>;
    using TDnTcpWriteStream =
        std::function<void(TDnThreadContext*, TDnTcpChannel*, void* key, std::istream&)>;
    using TDnTcpWriteFrames =
        std::function<void(TDnThreadContext*, TDnTcpChannel*, const TDnOutputBuffer& out)>;

    void SetOnRead(TDnTcpRead fn) { onRead_ = std::move(fn); }
    void SetOnWrite(TDnTcpWrite fn) { onWrite_ = std::move(fn); }
    void SetOnError(TDnTcpError fn) { onError_ = std::move(fn); }
    void SetOnClose(TDnTcpClose fn) { onClose_ = std::move(fn); }
    void SetOnClientClose(TDnTcpClientClose fn) { onClientClose_ = std::move(fn); }
    void SetOnLineRead(TDnTcpLine fn) { onLine_ = std::move(fn); }
    void SetOnWriteStream(TDnTcpWriteStream fn) { onWriteStream_ = std::move(fn); }
    // The frames of one output write in one call (see IDnTcpWriteHandler::DoWriteFrames);
    // without it, OnWrite is raised once per frame.
    void SetOnWriteFrames(TDnTcpWriteFrames fn) { onWriteFrames_ = std::move(fn); }

    // Completes when all bufSize bytes are in the caller's buffer (or on close or error).
    void Read(TDnTcpChannel* channel, void* key, char* buf, uint32_t bufSize);
    // The same into a buffer the request owns.
    void ReadString(TDnTcpChannel* channel, void* key, uint32_t size);
    // Completes with whatever the first receive delivers, at most maxSize bytes.
    void RawRead(TDnTcpChannel* channel, void* key, char* buf, uint32_t maxSize);
    // The caller's buffer must stay valid until the completion.
    void Write(TDnTcpChannel* channel, void* key, const char* buf, uint32_t bufSize);
    void WriteString(TDnTcpChannel* channel, void* key, std::string buf);
    // A frame shared, unchanged, by writes to many channels.
    void WriteShared(TDnTcpChannel* channel, void* key, std::shared_ptr<const std::string> buf);
    // Copies one frame (head then body) into the channel's output buffer; it leaves with
    // the other frames of the round in one send and completes once. False when inactive
    // or when the channel is closing.
    bool Append(TDnTcpChannel* channel, void* key, std::string_view head,
                std::string_view body = {});
    // The same for a frame built once for many channels: the output buffer references it
    // instead of copying it (it must not change afterwards).
    bool AppendShared(TDnTcpChannel* channel, void* key,
                      const std::shared_ptr<const std::string>& frame);
    // Sends the stream from its position to its end and frees it afterwards.
    void WriteStream(TDnTcpChannel* channel, void* key, std::unique_ptr<std::istream> stream);
    // Nothing without a channel.
    void Close(TDnTcpChannel* channel, void* key, bool brutal);
    void ReadLine(TDnTcpChannel* channel, void* key, int32_t maxSize);

    // Completion handlers (called by the requests on a reactor worker).
    void DoRead(TDnThreadContext* context, TDnTcpChannel* channel, void* key, const char* buf,
                uint32_t bufSize) override;
    void DoReadError(TDnThreadContext* context, TDnTcpChannel* channel, void* key,
                     uint32_t errorCode) override;
    void DoReadClose(TDnThreadContext* context, TDnTcpChannel* channel, void* key) override;
    void DoWrite(TDnThreadContext* context, TDnTcpChannel* channel, void* key, const char* buf,
                 uint32_t bufSize) override;
    void DoWriteError(TDnThreadContext* context, TDnTcpChannel* channel, void* key,
                      uint32_t errorCode) override;
    void DoWriteStream(TDnThreadContext* context, TDnTcpChannel* channel, void* key,
                       std::istream& stream) override;
    void DoWriteFrames(TDnThreadContext* context, TDnTcpChannel* channel,
                       const TDnOutputBuffer& out) override;
    // Closes the channel's socket, then raises OnClose.
    void DoClose(TDnThreadContext* context, TDnTcpChannel* channel, void* key) override;
    void DoCloseError(TDnThreadContext* context, TDnTcpChannel* channel, void* key,
                      uint32_t errorCode) override;
    void DoLine(TDnThreadContext* context, TDnTcpChannel* channel, void* key,
                const std::string& receivedLine, bool eolFound) override;
    void DoLineError(TDnThreadContext* context, TDnTcpChannel* channel, void* key,
                     uint32_t errorCode) override;
    void DoLineClose(TDnThreadContext* context, TDnTcpChannel* channel, void* key) override;

  private:
    void DoError(TDnThreadContext* context, TDnTcpChannel* channel, void* key, uint32_t errorCode);
    void DoClientClose(TDnThreadContext* context, TDnTcpChannel* channel, void* key);
    // Calls fn, logging and dropping whatever it raises.
    template <typename Fn>
    void Raise(Fn&& fn) noexcept;

    TDnTcpRead onRead_;
    TDnTcpWrite onWrite_;
    TDnTcpError onError_;
    TDnTcpClose onClose_;
    TDnTcpClientClose onClientClose_;
    TDnTcpLine onLine_;
    TDnTcpWriteStream onWriteStream_;
    TDnTcpWriteFrames onWriteFrames_;
};

}  // namespace tessil
