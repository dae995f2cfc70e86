// Test kit for the engine: loopback socket pairs, a recording handler for every request
// kind, a running reactor with its executor, and descriptor counting. Used by the
// engine's unit and stress tests; handlers record on worker threads.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "iocpengine/DnExecutor.h"
#include "iocpengine/DnTcpChannel.h"
#include "iocpengine/DnTcpReactor.h"
#include "iocpengine/DnTcpRequests.h"

namespace tessil::testkit {

// A connected loopback pair: a blocking client socket and the accepted server socket.
struct LoopbackPair {
    int client = -1;
    int server = -1;
    sockaddr_in peer{};
};
LoopbackPair MakeLoopbackPair();
// Sends all bytes on a blocking socket.
void SendAll(int fd, const std::string& data);
// Receives exactly n bytes (or fewer when the peer closes) within the time-out.
std::string RecvExactly(int fd, size_t n, int timeoutMs = 5000);
// True when the peer's end of stream arrives within the time-out.
bool WaitForEof(int fd, int timeoutMs = 5000);
int OpenDescriptorCount();

struct Event {
    std::string kind;  // read, readerror, readclose, line, lineerror, lineclose, write,
                       // writeerror, writestream, close, closeerror, timeout
    std::string data;
    uint32_t code = 0;
    bool eol = false;
    void* key = nullptr;
};

class Recorder : public IDnTcpReadHandler,
                 public IDnTcpLineHandler,
                 public IDnTcpWriteHandler,
                 public IDnTcpCloseHandler {
  public:
    void DoRead(TDnThreadContext*, TDnTcpChannel*, void* key, const char* buf,
                uint32_t size) override;
    void DoReadError(TDnThreadContext*, TDnTcpChannel*, void* key, uint32_t code) override;
    void DoReadClose(TDnThreadContext*, TDnTcpChannel*, void* key) override;
    void DoLine(TDnThreadContext*, TDnTcpChannel*, void* key, const std::string& line,
                bool eol) override;
    void DoLineError(TDnThreadContext*, TDnTcpChannel*, void* key, uint32_t code) override;
    void DoLineClose(TDnThreadContext*, TDnTcpChannel*, void* key) override;
    void DoWrite(TDnThreadContext*, TDnTcpChannel*, void* key, const char* buf,
                 uint32_t size) override;
    void DoWriteError(TDnThreadContext*, TDnTcpChannel*, void* key, uint32_t code) override;
    void DoWriteStream(TDnThreadContext*, TDnTcpChannel*, void* key, std::istream& stream) override;
    void DoClose(TDnThreadContext*, TDnTcpChannel*, void* key) override;
    void DoCloseError(TDnThreadContext*, TDnTcpChannel*, void* key, uint32_t code) override;

    void Add(Event e);
    // Waits until at least n events were recorded; false on time-out.
    bool WaitFor(size_t n, int timeoutMs = 5000);
    std::vector<Event> Events();
    std::vector<std::string> Kinds();

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Event> events_;
};

// A running reactor (2 workers by default) with a simple executor and a counter of
// freed channels, torn down in the destructor.
class RunningReactor {
  public:
    explicit RunningReactor(int workers = 2, TDnTimerEngine::TClock clock = {});
    ~RunningReactor();
    TDnTcpReactor& reactor() { return reactor_; }
    // A registered channel for the server end of a fresh loopback pair; the client end is
    // returned through clientFd.
    TDnTcpChannel* NewChannel(int* clientFd);

    TDnSimpleExecutor executor;

  private:
    TDnTcpReactor reactor_;
};

}  // namespace tessil::testkit
