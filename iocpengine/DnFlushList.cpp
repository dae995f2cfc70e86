// Per-worker flush list of channels with writes queued in the current round. Reactor
// workers only; each list is touched by its own thread.
#include "iocpengine/DnFlushList.h"

#include <vector>

#include "iocpengine/DnTcpChannel.h"

namespace tessil::flushlist {

namespace {
struct TList {
    platform::CompletionQueue* queue = nullptr;
    std::vector<TDnTcpChannel*> channels;
};
thread_local TList tList;
}  // namespace

void Bind(platform::CompletionQueue* q) {
    tList.queue = q;
}

void Unbind() {
    Flush();
    tList.queue = nullptr;
    std::vector<TDnTcpChannel*>().swap(tList.channels);
}

bool Defer(TDnTcpChannel* channel) {
    if (tList.queue == nullptr || channel->Queue() != tList.queue) return false;
    tList.channels.push_back(channel);
    return true;
}

void Flush() {
    // A flush may queue more (a completion handled inline never does, but a handler of a
    // failed send may): swap the list out and loop until it stays empty.
    std::vector<TDnTcpChannel*> batch;
    while (!tList.channels.empty()) {
        batch.swap(tList.channels);
        for (TDnTcpChannel* channel : batch) channel->FlushWrites();
        batch.clear();
    }
    if (tList.channels.capacity() < batch.capacity()) tList.channels.swap(batch);
}

}  // namespace tessil::flushlist
