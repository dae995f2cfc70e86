// ClientStrand: runs the work items of each client one after another, also when an item
// finishes later on another thread (it waited for Redis or another node). Owned by the
// cluster lobby; Submit on engine workers, Finish on whichever thread completes an item.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <unordered_map>

#include "iocpengine/ClientRec.h"

namespace tessil::cluster {

class ClientStrand {
  public:
    // An item returns true when it is finished, false when it will call Finish later.
    using Item = std::function<bool()>;

    // limit: items one client may have waiting behind its running item.
    explicit ClientStrand(size_t limit) : limit_(limit) {}

    // Runs the item now when the client has nothing running, else queues it. False when
    // the client's queue is full (the item is dropped).
    bool Submit(const TClientRecPtr& client, Item item);
    // The client's running item is finished: runs the queued ones, in order, on this
    // thread, until one of them has to wait.
    void Finish(const TClientRec* client);
    // Clients with a running item (metrics, tests).
    size_t Busy() const;

  private:
    struct Queue {
        TClientRecPtr client;  // keeps the record while items wait
        std::deque<Item> items;
    };
    void drain(const TClientRec* client, Item next);
    // The client's next waiting item, or none (and the strand idle) when nothing waits.
    Item takeNext(const TClientRec* client);

    const size_t limit_;
    mutable std::mutex mutex_;
    // Present while the client has a running item.
    std::unordered_map<const TClientRec*, Queue> running_;
};

}  // namespace tessil::cluster
