// The concrete I/O requests: read (caller's or own buffer, all-or-first-transfer), line
// (CR LF, pieces of MaxSize, tail kept in the channel's cache), write (buffer, string,
// shared immutable frame, stream in 8192-byte chunks, data queue) and close (graceful or
// brutal). Owned by their channel once handed to RunRequest; run on reactor workers.
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <istream>
#include <memory>
#include <string>
#include <string_view>

#include "iocpengine/DnDataQueue.h"
#include "iocpengine/DnOutputBuffer.h"
#include "iocpengine/DnTcpRequest.h"

namespace tessil {

inline constexpr uint32_t TempStorageSize = 8192;

// Reads up to bufSize bytes; with mustAll it completes only when all have arrived (or the
// peer closed, or an error occurred). Bytes in the channel's read cache are used first.
class TDnTcpReadRequest : public TDnTcpRequest {
  public:
    // Into the caller's buffer, which must stay valid until the handler has run.
    TDnTcpReadRequest(TDnTcpChannel* channel, void* key, IDnTcpReadHandler* handler, char* buf,
                      uint32_t bufSize, bool mustAll);
    // Into the request's own buffer of bufSize bytes.
    static TDnTcpReadRequest* CreateString(TDnTcpChannel* channel, void* key,
                                           IDnTcpReadHandler* handler, uint32_t bufSize,
                                           bool mustAll);

    void Execute() override;
    bool IsComplete() override;
    void ReExecute() override;
    TDnIORequestType RequestType() const override { return rtRead; }
    void CallHandler(TDnThreadContext* context) override;
    void SetTransferred(uint32_t transferred) override;

    // The request's own buffer (string variant), or null.
    const char* OwnBuffer() const { return FStrBuf.get(); }

  private:
    iovec FWSABuf{};
    uint32_t FRead = 0;
    uint32_t FToRead = 0;
    IDnTcpReadHandler* FHandler;
    bool FMustAll;
    std::unique_ptr<char[]> FStrBuf;  // not zero-filled: every byte handed out was received
};

// Reads one line ending with CR LF, at most maxSize bytes (CR LF included). A longer
// line is delivered in pieces of maxSize bytes with eolFound false. Bytes received after
// the line stay in the channel's read cache for the next read or line request.
class TDnTcpLineRequest : public TDnTcpRequest {
  public:
    // maxSize must be at least 1 (std::invalid_argument otherwise).
    TDnTcpLineRequest(TDnTcpChannel* channel, void* key, IDnTcpLineHandler* handler,
                      int32_t maxSize);

    void Execute() override;
    bool IsComplete() override;
    void ReExecute() override { Execute(); }
    TDnIORequestType RequestType() const override { return rtRead; }
    void CallHandler(TDnThreadContext* context) override;
    void SetTransferred(uint32_t transferred) override { FRead = transferred; }

    // The count of bytes up to and including the first CR LF in the first len bytes, the
    // search stopping at a zero byte; -1 when none is found.
    static int32_t FindEol(const char* data, int32_t len);

  private:
    iovec FWSABuf{};
    uint32_t FRead = 0;
    int32_t FToRead;
    int32_t FWasRead = 0;
    IDnTcpLineHandler* FHandler;
    int32_t FMaxSize;
    std::string FRecv;
    bool FEolFound = false;
};

// Writes a buffer, a string, a shared frame, a stream, a data queue or the channel's
// output buffer. Buffer, string and shared-frame writes waiting behind the one in flight
// are gathered into its next send, so a burst of small writes costs one system call; each
// write still completes and calls its handler once, in queue order. An output write
// carries every frame appended to its channel (TDnTcpChannel::AppendOutput) until it
// starts, in one contiguous buffer, and calls its handler once per frame, in order.
class TDnTcpWriteRequest : public TDnTcpRequest {
  public:
    // The caller's buffer, which must stay valid until the handler has run.
    TDnTcpWriteRequest(TDnTcpChannel* channel, void* key, IDnTcpWriteHandler* handler,
                       const char* buf, uint32_t bufSize);
    // The request keeps the string (an empty one is sent as a send of zero bytes).
    static TDnTcpWriteRequest* CreateString(TDnTcpChannel* channel, void* key,
                                            IDnTcpWriteHandler* handler, std::string buf);
    // A frame shared, unchanged, by many writes (built once, queued to many channels).
    static TDnTcpWriteRequest* CreateShared(TDnTcpChannel* channel, void* key,
                                            IDnTcpWriteHandler* handler,
                                            std::shared_ptr<const std::string> buf);
    // The stream from its current position to its end, in chunks of 8192 bytes. The
    // request owns the stream and frees it after the handler or when dropped.
    static TDnTcpWriteRequest* CreateStream(TDnTcpChannel* channel, void* key,
                                            IDnTcpWriteHandler* handler,
                                            std::unique_ptr<std::istream> stream);
    // The queue's bytes in chunks of up to 8192, each removed once sent. The queue is not
    // owned and must not be empty (std::invalid_argument otherwise).
    static TDnTcpWriteRequest* CreateQueue(TDnTcpChannel* channel, void* key,
                                           IDnTcpWriteHandler* handler, TDnDataQueue* queue);
    // An empty output write (a buffer from the thread's pool); frames are appended by its
    // channel until it starts.
    static TDnTcpWriteRequest* CreateOutput(TDnTcpChannel* channel, IDnTcpWriteHandler* handler);
    ~TDnTcpWriteRequest() override;

    void Execute() override;
    // Execute in two steps: Prepare (under the channel's lock: running, bytes fixed, the
    // writes behind gathered; false when there is nothing to send) and Issue (the send,
    // which needs no lock: a running write is started by no one else).
    bool Prepare();
    void Issue();
    bool IsComplete() override;
    void ReExecute() override { Execute(); }
    TDnIORequestType RequestType() const override { return rtWrite; }
    void CallHandler(TDnThreadContext* context) override;
    void SetTransferred(uint32_t transferred) override;

  private:
    enum class Kind : uint8_t { Buffer, String, Shared, Output, Stream, Queue };
    friend class TDnTcpChannel;

    TDnTcpWriteRequest(TDnTcpChannel* channel, void* key, IDnTcpWriteHandler* handler, Kind kind);
    // May join the send of the write ahead of it (its bytes never change once queued).
    bool Gatherable() const { return kind_ <= Kind::Shared; }
    // Sent by offset: size_ bytes (one range from data_, or an output write's buffer),
    // sent_ of them gone.
    bool Contiguous() const { return kind_ <= Kind::Output; }
    // Output writes: one more frame, from up to two pieces copied, or a shared frame
    // referenced (not yet started; channel lock).
    void AppendFrame(void* key, std::string_view head, std::string_view body);
    void AppendShared(void* key, std::shared_ptr<const std::string> frame);
    uint32_t Remaining() const { return size_ - sent_; }
    // Accounts n bytes of a gathered send to this request; returns the bytes left over.
    uint32_t Consume(uint32_t n);
    void ReadStream();
    void ReadQueue();

    Kind kind_;
    bool gathered_ = false;   // some of its bytes went out in another request's send
    uint16_t followers_ = 0;  // writes gathered into this request's send in flight
    iovec FWSABuf{};
    uint32_t FWritten = 0;
    uint32_t FToWrite = 0;
    const char* data_ = nullptr;
    uint32_t size_ = 0;
    uint32_t sent_ = 0;
    IDnTcpWriteHandler* FHandler;
    std::string FTempStorage;
    std::shared_ptr<const std::string> shared_;
    std::unique_ptr<std::istream> FStream;
    TDnDataQueue* FDataQueue = nullptr;
    std::unique_ptr<TDnOutputBuffer> out_;
};

// Closes the channel's socket and completes; graceful closes wait for the request that
// is running when they arrive, brutal ones start at once (see TDnTcpChannel::RunRequest).
class TDnTcpCloseRequest : public TDnTcpRequest {
  public:
    TDnTcpCloseRequest(TDnTcpChannel* channel, void* key, IDnTcpCloseHandler* handler, bool brutal);

    void Execute() override;
    bool IsComplete() override { return true; }
    void ReExecute() override { Execute(); }
    TDnIORequestType RequestType() const override { return FBrutal ? rtBrutalClose : rtClose; }
    // DoClose or DoCloseError, then drops the channel's requests that never started and
    // takes the channel out of its reactor's registry.
    void CallHandler(TDnThreadContext* context) override;
    void SetTransferred(uint32_t transferred) override { FRead = transferred; }

  private:
    uint32_t FRead = 0;
    IDnTcpCloseHandler* FHandler;
    bool FBrutal;
};

}  // namespace tessil
