// Per-client ordering of the cluster lobby's work items (see ClientStrand.h). Any thread.
#include "cluster/ClientStrand.h"

namespace tessil::cluster {

bool ClientStrand::Submit(const TClientRecPtr& client, Item item) {
    {
        std::lock_guard lock(mutex_);
        auto [it, fresh] = running_.try_emplace(client.get());
        if (!fresh) {
            if (it->second.items.size() >= limit_) return false;
            it->second.items.push_back(std::move(item));
            return true;
        }
        it->second.client = client;
    }
    drain(client.get(), std::move(item));
    return true;
}

void ClientStrand::Finish(const TClientRec* client) {
    drain(client, takeNext(client));
}

ClientStrand::Item ClientStrand::takeNext(const TClientRec* client) {
    std::lock_guard lock(mutex_);
    auto it = running_.find(client);
    if (it == running_.end()) return {};
    if (it->second.items.empty()) {
        running_.erase(it);  // the strand is idle: the next Run starts it again
        return {};
    }
    Item next = std::move(it->second.items.front());
    it->second.items.pop_front();
    return next;
}

void ClientStrand::drain(const TClientRec* client, Item next) {
    while (next) {
        if (!next()) return;  // it finishes later, through Finish
        next = takeNext(client);
    }
}

size_t ClientStrand::Busy() const {
    std::lock_guard lock(mutex_);
    return running_.size();
}

}  // namespace tessil::cluster
