// Read, line, write and close requests: issuing, accounting of transfers, completion
// tests and handler calls. Reactor workers and the thread that starts a request.
#include "iocpengine/DnTcpRequests.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "iocpengine/DnException.h"
#include "iocpengine/DnTcpChannel.h"
#include "iocpengine/DnTcpReactor.h"
#include "platform/Errors.h"

namespace tessil {

namespace {

void IssueRecv(TDnTcpChannel* ch, platform::Overlapped* ov, const iovec* iov) {
    ov->iov = iov;
    ov->iovCount = 1;
    ov->spill = ch->ReadAheadTarget();
    platform::CompletionQueue* q = ch->Queue();
    if (!q) throw EDnException(ErrObjectNotActive, 0);
    q->Recv(ch->IoHandle(), ov);
}

}  // namespace

// ---- read ----------------------------------------------------------------------------

TDnTcpReadRequest::TDnTcpReadRequest(TDnTcpChannel* channel, void* key, IDnTcpReadHandler* handler,
                                     char* buf, uint32_t bufSize, bool mustAll)
    : TDnTcpRequest(channel, key, rtRead), FToRead(bufSize), FHandler(handler), FMustAll(mustAll) {
    FWSABuf = iovec{buf, bufSize};
    FStartBuffer = buf;
}

TDnTcpReadRequest* TDnTcpReadRequest::CreateString(TDnTcpChannel* channel, void* key,
                                                   IDnTcpReadHandler* handler, uint32_t bufSize,
                                                   bool mustAll) {
    auto* r = new TDnTcpReadRequest(channel, key, handler, nullptr, bufSize, mustAll);
    r->FStrBuf.reset(new char[bufSize > 0 ? bufSize : 1]);
    r->FStartBuffer = r->FStrBuf.get();
    r->FWSABuf = iovec{r->FStrBuf.get(), bufSize};
    return r;
}

void TDnTcpReadRequest::Execute() {
    TDnTcpRequest::Execute();
    auto* dst = static_cast<char*>(FWSABuf.iov_base);
    const uint32_t missing = static_cast<uint32_t>(FWSABuf.iov_len);
    FRead = FChannel->ExtractFromCache(dst, missing);
    if (FRead == missing && FRead > 0) {
        // The cache supplied everything: complete without touching the socket.
        FWSABuf.iov_base = dst;
        FWSABuf.iov_len = missing;
        PostCompletion(FRead);
        return;
    }
    FWSABuf.iov_base = dst + FRead;
    FWSABuf.iov_len = missing - FRead;
    AddRef();
    IssueRecv(FChannel, &FContext.FOverlapped, &FWSABuf);
}

void TDnTcpReadRequest::ReExecute() {
    FRead = 0;
    Execute();
}

void TDnTcpReadRequest::SetTransferred(uint32_t transferred) {
    FRead = transferred;
    FWSABuf.iov_base = static_cast<char*>(FWSABuf.iov_base) + transferred;
    FWSABuf.iov_len -= transferred;
}

bool TDnTcpReadRequest::IsComplete() {
    return !(FMustAll && FWSABuf.iov_len > 0 && FRead != 0 && FErrorCode == 0);
}

void TDnTcpReadRequest::CallHandler(TDnThreadContext* context) {
    if (!FHandler) return;
    if (FErrorCode != 0 || FRead == 0) {
        if (FRead != 0)
            FHandler->DoReadError(context, FChannel, FKey, FErrorCode);
        else
            FHandler->DoReadClose(context, FChannel, FKey);
        return;
    }
    FHandler->DoRead(context, FChannel, FKey, FStartBuffer,
                     FToRead - static_cast<uint32_t>(FWSABuf.iov_len));
}

// ---- line ----------------------------------------------------------------------------

TDnTcpLineRequest::TDnTcpLineRequest(TDnTcpChannel* channel, void* key, IDnTcpLineHandler* handler,
                                     int32_t maxSize)
    : TDnTcpRequest(channel, key, rtRead), FToRead(maxSize), FHandler(handler), FMaxSize(maxSize) {
    if (maxSize < 1) throw std::invalid_argument("line request: MaxSize must be at least 1");
    FRecv.resize(static_cast<size_t>(maxSize));
    FStartBuffer = FRecv.data();
}

int32_t TDnTcpLineRequest::FindEol(const char* data, int32_t len) {
    for (int32_t i = 0; i + 1 < len; ++i) {
        if (data[i] == '\0') return -1;
        if (data[i] == '\r' && data[i + 1] == '\n') return i + 2;
    }
    return -1;
}

void TDnTcpLineRequest::Execute() {
    TDnTcpRequest::Execute();
    char* freePart = FRecv.data() + FWasRead;
    if (FChannel->CacheHasData()) {
        FRead = FChannel->ExtractFromCache(freePart, static_cast<uint32_t>(FToRead));
        int32_t p = FindEol(freePart, static_cast<int32_t>(FRead));
        if (p >= 0) {
            FChannel->InsertToCache(freePart + p, FRead - static_cast<uint32_t>(p));
            FRead = static_cast<uint32_t>(p);
        }
        if (FRead != 0) {
            PostCompletion(FRead);
            return;
        }
    }
    FRead = 0;
    FWSABuf = iovec{freePart, static_cast<size_t>(FToRead)};
    AddRef();
    IssueRecv(FChannel, &FContext.FOverlapped, &FWSABuf);
}

bool TDnTcpLineRequest::IsComplete() {
    if (FErrorCode != 0 || FRead == 0) return true;
    FEolFound = false;
    FToRead -= static_cast<int32_t>(FRead);
    FWasRead += static_cast<int32_t>(FRead);
    int32_t p = FindEol(FRecv.data(), FWasRead);
    if (p >= 0) {
        const int32_t tail = FWasRead - p;
        // The tail came before anything read ahead into the cache, so it goes in front.
        FChannel->InsertToCache(FRecv.data() + p, static_cast<uint32_t>(tail));
        FToRead += tail;
        FWasRead -= tail;
        FRecv.resize(static_cast<size_t>(p));
        FEolFound = true;
        return true;
    }
    return FToRead <= 0;
}

void TDnTcpLineRequest::CallHandler(TDnThreadContext* context) {
    if (!FHandler) return;
    if (FErrorCode != 0)
        FHandler->DoLineError(context, FChannel, FKey, FErrorCode);
    else if (FRead != 0)
        FHandler->DoLine(context, FChannel, FKey, FRecv, FEolFound);
    else
        FHandler->DoLineClose(context, FChannel, FKey);
}

// ---- write ---------------------------------------------------------------------------

TDnTcpWriteRequest::TDnTcpWriteRequest(TDnTcpChannel* channel, void* key,
                                       IDnTcpWriteHandler* handler, Kind kind)
    : TDnTcpRequest(channel, key, rtWrite), kind_(kind), FHandler(handler) {}

TDnTcpWriteRequest::TDnTcpWriteRequest(TDnTcpChannel* channel, void* key,
                                       IDnTcpWriteHandler* handler, const char* buf,
                                       uint32_t bufSize)
    : TDnTcpWriteRequest(channel, key, handler, Kind::Buffer) {
    data_ = buf;
    size_ = bufSize;
    FToWrite = bufSize;
    FStartBuffer = const_cast<char*>(buf);
}

TDnTcpWriteRequest* TDnTcpWriteRequest::CreateString(TDnTcpChannel* channel, void* key,
                                                     IDnTcpWriteHandler* handler, std::string buf) {
    auto* r = new TDnTcpWriteRequest(channel, key, handler, Kind::String);
    r->FTempStorage = std::move(buf);
    r->data_ = r->FTempStorage.data();
    r->size_ = static_cast<uint32_t>(r->FTempStorage.size());
    r->FToWrite = r->size_;
    r->FStartBuffer = r->FTempStorage.data();
    return r;
}

TDnTcpWriteRequest* TDnTcpWriteRequest::CreateShared(TDnTcpChannel* channel, void* key,
                                                     IDnTcpWriteHandler* handler,
                                                     std::shared_ptr<const std::string> buf) {
    auto* r = new TDnTcpWriteRequest(channel, key, handler, Kind::Shared);
    r->shared_ = buf ? std::move(buf) : std::make_shared<const std::string>();
    r->data_ = r->shared_->data();
    r->size_ = static_cast<uint32_t>(r->shared_->size());
    r->FToWrite = r->size_;
    r->FStartBuffer = const_cast<char*>(r->data_);
    return r;
}

TDnTcpWriteRequest* TDnTcpWriteRequest::CreateStream(TDnTcpChannel* channel, void* key,
                                                     IDnTcpWriteHandler* handler,
                                                     std::unique_ptr<std::istream> stream) {
    if (!stream) throw std::invalid_argument("stream write: no stream");
    auto* r = new TDnTcpWriteRequest(channel, key, handler, Kind::Stream);
    r->FStream = std::move(stream);
    r->FTempStorage.resize(TempStorageSize);
    r->ReadStream();
    return r;
}

TDnTcpWriteRequest* TDnTcpWriteRequest::CreateQueue(TDnTcpChannel* channel, void* key,
                                                    IDnTcpWriteHandler* handler,
                                                    TDnDataQueue* queue) {
    if (!queue || queue->Size() == 0) throw std::invalid_argument("queue write: empty queue");
    auto* r = new TDnTcpWriteRequest(channel, key, handler, Kind::Queue);
    r->FDataQueue = queue;
    r->FTempStorage.resize(TempStorageSize);
    r->ReadQueue();
    return r;
}

TDnTcpWriteRequest* TDnTcpWriteRequest::CreateOutput(TDnTcpChannel* channel,
                                                     IDnTcpWriteHandler* handler) {
    auto* r = new TDnTcpWriteRequest(channel, nullptr, handler, Kind::Output);
    r->out_ = TDnOutputBuffer::Take();
    return r;
}

TDnTcpWriteRequest::~TDnTcpWriteRequest() {
    TDnOutputBuffer::Give(std::move(out_));
}

void TDnTcpWriteRequest::AppendFrame(void* key, std::string_view head, std::string_view body) {
    out_->Append(key, head, body);
    size_ = out_->Size();
    FToWrite = size_;
}

void TDnTcpWriteRequest::AppendShared(void* key, std::shared_ptr<const std::string> frame) {
    out_->AppendShared(key, std::move(frame));
    size_ = out_->Size();
    FToWrite = size_;
}

void TDnTcpWriteRequest::ReadStream() {
    FStream->read(FTempStorage.data(), TempStorageSize);
    FToWrite = static_cast<uint32_t>(FStream->gcount());
    FStream->clear(FStream->rdstate() & ~std::ios::failbit);
    FWSABuf = iovec{FTempStorage.data(), FToWrite};
    FWritten = 0;
    FStartBuffer = FTempStorage.data();
}

void TDnTcpWriteRequest::ReadQueue() {
    FToWrite = static_cast<uint32_t>(std::min<int32_t>(FDataQueue->Size(), TempStorageSize));
    std::memcpy(FTempStorage.data(), FDataQueue->Memory(), FToWrite);
    FWSABuf = iovec{FTempStorage.data(), FToWrite};
    FWritten = 0;
    FStartBuffer = FTempStorage.data();
}

uint32_t TDnTcpWriteRequest::Consume(uint32_t n) {
    const uint32_t mine = std::min(n, Remaining());
    sent_ += mine;
    return n - mine;
}

void TDnTcpWriteRequest::Execute() {
    if (Prepare()) Issue();
}

bool TDnTcpWriteRequest::Prepare() {
    const bool continuing = Running();  // the rest after a partial send
    TDnTcpRequest::Execute();
    platform::Overlapped* ov = &FContext.FOverlapped;
    followers_ = 0;
    if (kind_ == Kind::Output) {
        if (!continuing) {
            // The first start, under the channel's lock. From here on the buffer does not
            // change: later frames go to a new write. A continuation runs without the
            // lock and leaves the channel alone.
            if (FChannel->openOutput_ == this) FChannel->openOutput_ = nullptr;
            size_ = out_->Size();
        }
        ov->iovCount = out_->Gather(sent_, &ov->iov);
    } else if (Gatherable()) {
        if (gathered_ && Remaining() == 0) {
            // Everything went out with an earlier request's send.
            PostCompletion(0);
            return false;
        }
        FWSABuf = iovec{const_cast<char*>(data_) + sent_, Remaining()};
        const iovec* iov = &FWSABuf;
        int count = 1;
        {
            std::lock_guard<TDnTcpChannel> lock(*FChannel);
            count = FChannel->GatherWrites(this, &iov);
        }
        ov->iov = iov;
        ov->iovCount = count;
    } else {
        ov->iov = &FWSABuf;
        ov->iovCount = 1;
    }
    return true;
}

void TDnTcpWriteRequest::Issue() {
    platform::CompletionQueue* q = FChannel->Queue();
    if (!q) throw EDnException(ErrObjectNotActive, 0);
    AddRef();
    q->Send(FChannel->IoHandle(), &FContext.FOverlapped);
}

void TDnTcpWriteRequest::SetTransferred(uint32_t transferred) {
    if (Contiguous()) {
        uint32_t rest = Consume(transferred);
        FWritten = sent_;
        if (followers_ > 0) {
            std::lock_guard<TDnTcpChannel> lock(*FChannel);
            FChannel->DistributeGathered(this, rest);
            followers_ = 0;
        }
        return;
    }
    FWritten = transferred;
    FWSABuf.iov_base = static_cast<char*>(FWSABuf.iov_base) + transferred;
    FWSABuf.iov_len -= transferred;
    if (kind_ == Kind::Queue) FDataQueue->Delete(static_cast<int32_t>(transferred));
}

bool TDnTcpWriteRequest::IsComplete() {
    if (FErrorCode != 0) return true;
    if (Contiguous()) return Remaining() == 0;
    if (FWSABuf.iov_len > 0) return false;
    if (kind_ == Kind::Stream) {
        ReadStream();
        return FToWrite == 0;
    }
    if (FDataQueue->Size() == 0) return true;
    ReadQueue();
    return false;
}

void TDnTcpWriteRequest::CallHandler(TDnThreadContext* context) {
    if (kind_ == Kind::Output) {
        // One completion per frame, in the order they were appended.
        if (!FHandler) return;
        if (FErrorCode == 0) {
            FHandler->DoWriteFrames(context, FChannel, *out_);
            return;
        }
        for (const TDnOutputMark& m : out_->marks)
            FHandler->DoWriteError(context, FChannel, m.key, FErrorCode);
        return;
    }
    if (FHandler) {
        if (FErrorCode != 0)
            FHandler->DoWriteError(context, FChannel, FKey, FErrorCode);
        else if (FStream)
            FHandler->DoWriteStream(context, FChannel, FKey, *FStream);
        else
            FHandler->DoWrite(context, FChannel, FKey, FStartBuffer, FWritten);
    }
    FStream.reset();
    if (kind_ != Kind::String) FTempStorage = std::string();
}

// ---- close ---------------------------------------------------------------------------

TDnTcpCloseRequest::TDnTcpCloseRequest(TDnTcpChannel* channel, void* key,
                                       IDnTcpCloseHandler* handler, bool brutal)
    : TDnTcpRequest(channel, key, brutal ? rtBrutalClose : rtClose),
      FHandler(handler),
      FBrutal(brutal) {}

void TDnTcpCloseRequest::Execute() {
    TDnTcpRequest::Execute();
    FChannel->CloseSocketHandle();
    PostCompletion(0);
}

void TDnTcpCloseRequest::CallHandler(TDnThreadContext* context) {
    if (FHandler) {
        if (FErrorCode != 0)
            FHandler->DoCloseError(context, FChannel, FKey, FErrorCode);
        else
            FHandler->DoClose(context, FChannel, FKey);
    }
    {
        std::lock_guard<TDnTcpChannel> lock(*FChannel);
        FChannel->DeleteNonActiveRequests();
    }
    if (TDnTcpReactor* reactor = FChannel->Reactor()) reactor->RemoveChannel(FChannel);
}

}  // namespace tessil
