// The flush list of a reactor worker: channels that had writes queued during the worker's
// current round. The round ends (the completion queue calls Flush before the worker takes
// new work or waits) with one send per listed channel. Thread-local to each worker.
#pragma once

namespace tessil::platform {
class CompletionQueue;
}

namespace tessil {

class TDnTcpChannel;

namespace flushlist {

// Makes the calling thread a worker with a flush list for channels of queue q.
void Bind(platform::CompletionQueue* q);
void Unbind();
// Lists the channel for the end of the calling worker's round (the caller holds the
// channel's lock and a reference for the list). False when the calling thread is not a
// worker of the channel's queue: the caller must arrange the flush itself.
bool Defer(TDnTcpChannel* channel);
// Starts the first queued write of every listed channel (which gathers the writes queued
// behind it into one send) and empties the list.
void Flush();

}  // namespace flushlist
}  // namespace tessil
