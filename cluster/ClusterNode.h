// ClusterNode: this process's membership of the cluster in Redis: its node name and
// liveness key, its block of room numbers, the presence of its users (ID claims and list
// items), its rooms in the room directory, the other nodes' deaths and the clean-up of
// their keys, and the messages between nodes. It holds no lobby rule. Owned by the
// cluster lobby; its handlers run on the cluster executor; the queries and key updates
// may be called from any thread (they only queue Redis commands).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "cluster/ClusterWire.h"
#include "cluster/RedisLink.h"
#include "lobby/UserListItems.h"
#include "platform/LimitEvents.h"
#include "platform/Scheduler.h"

namespace tessil::cluster {

struct ClusterConfig {
    RedisAddress redis;
    std::string node;                          // unique per process
    std::chrono::milliseconds aliveTtl{3000};  // a node silent this long is dead
    std::chrono::milliseconds tick{1000};      // liveness refresh and death check
};

// Room numbers are nine digits beginning with 1; each node owns one block of a million,
// so a room's number names its node and numbers never clash between nodes.
inline constexpr int32_t kRoomBlockBase = 100000000;
inline constexpr int32_t kRoomBlockSize = 1000000;
inline constexpr int kRoomBlocks = 100;

// A user's entry in the cluster-wide user list.
struct PresenceItem {
    std::string userid, nick, gcode;
    std::string node;  // the user's node (set by ListUsers)
    int32_t roomNo = -2;
    int32_t gameStat = 0;
};
// The entry as the lobby's list items take it.
inline TUserListEntry ListEntry(const PresenceItem& p) {
    return {p.userid, p.nick, p.gcode, p.roomNo, p.gameStat};
}

class ClusterNode {
  public:
    enum class Claim { Claimed, Taken, Down };

    ClusterNode(ClusterConfig config, Scheduler& executor);
    ~ClusterNode();
    ClusterNode(const ClusterNode&) = delete;
    ClusterNode& operator=(const ClusterNode&) = delete;

    // Handlers, set before Start; all run on the executor.
    // After each (re)join; presumedDead: another node has declared this one dead and
    // cleaned up after it while it was out of touch.
    std::function<void(bool presumedDead)> onJoined;
    std::function<void()> onLost;  // Redis connection lost
    std::function<void(const std::string& node)> onNodeDead;
    std::function<void(WireMessage)> onMessage;
    // Nodes this node holds state for (stand-ins, seats): watched even when the node set
    // in Redis no longer names them.
    std::function<std::set<std::string>()> peersOfInterest;
    // The room-number blocks of this node's open rooms: held (refreshed) with the current
    // block for as long as rooms live in them, so no other node can take their numbers.
    std::function<std::set<int>()> liveBlocks;
    // A block this node has open rooms in is held by another node (Redis lost the claim
    // and another node took the block first): those rooms must go, so that room numbers
    // stay unique cluster-wide.
    std::function<void(int block)> onBlockLost;

    void Start();
    void Stop();

    const std::string& Name() const { return config_.node; }
    bool Up() const { return link_.Up(); }
    // Joined: connected, node registered and room block held.
    bool Joined() const { return joined_.load(); }
    // New logins are admitted once the node has been joined for the liveness time-out, so
    // every node has re-claimed its users after Redis came back.
    bool AdmitsLogins() const;
    // How long a message may wait in an outbox before it is dropped ([Cluster]
    // OutboxMaxAgeMs).
    int64_t OutboxMaxAgeMs() const { return outboxMaxAgeMs_; }
    // The node's room block, [first, last]; 0, 0 before the first join.
    std::pair<int32_t, int32_t> RoomRange() const;
    static int RoomBlockOf(int32_t roomNo);

    // ---- presence (any thread) ----
    void ClaimUser(const std::string& id, std::function<void(Claim)> done);
    void ReleaseUser(const std::string& id);
    // done (optional) runs on the executor once Redis has stored it (or failed to).
    void PutUser(const PresenceItem& item, std::function<void()> done = {});
    void DropUser(const std::string& id);
    // ---- room directory (any thread) ----
    void PutRoom(int32_t roomNo, const std::string& item);
    void DropRoom(int32_t roomNo);
    // The image of a room with members on other nodes, kept so that a survivor can take
    // the room over when this node dies.
    void PutRoomImage(int32_t roomNo, const std::string& image);
    void DropRoomImage(int32_t roomNo);
    // Claims the rooms of a dead node for this node (atomically: of several survivors
    // asking, the first wins, and the winner takes the number blocks of the images that
    // are free or still the dead node's). done gets the winner ("" when none) and the dead
    // node's room images by number; nothing when Redis did not answer.
    struct Adoption {
        std::string winner;
        std::vector<std::pair<int32_t, std::string>> images;
    };
    void AdoptRooms(const std::string& dead, std::function<void(std::optional<Adoption>)> done);

    // ---- queries; the result is empty when the cluster cannot answer ----
    void ListUsers(std::function<void(std::optional<std::vector<PresenceItem>>)> done);
    // The user's node and entry; found=false for an unknown ID.
    struct Found {
        bool found = false;
        std::string node;
        PresenceItem item;
    };
    void FindUser(const std::string& id, std::function<void(std::optional<Found>)> done);
    // The room items of every node ("[...]" contents joined by commas), or of one room.
    void ListRooms(int32_t roomNo, std::function<void(std::optional<std::string>)> done);
    // The room items of every node, by node.
    struct NodeRooms {
        std::string node;
        std::vector<std::string> items;
    };
    void RoomsByNode(std::function<void(std::optional<std::vector<NodeRooms>>)> done);
    // Users and rooms of every node (HLEN of each node's hashes); -1 when unknown.
    void Counts(std::function<void(int64_t users, int64_t rooms)> done);
    // The node that owns a room number ("" when no node holds its block).
    void NodeOfRoom(int32_t roomNo, std::function<void(std::optional<std::string>)> done);

    // ---- messages (any thread) ----
    // A message that cannot reach its node now (Redis away, or the node not subscribed:
    // nobody received the PUBLISH) waits in that node's outbox and is sent again, in order,
    // once this node has rejoined and at every tick. Waiting messages are dropped when their
    // node is declared dead, when they have waited [Cluster] OutboxMaxAgeMs, or when the
    // outboxes hold [Limits] ClusterOutbox messages in all (counted as "cluster_outbox",
    // one log line per episode).
    void Send(const std::string& node, const std::string& message);
    // Messages waiting in the outboxes (metrics, tests).
    size_t OutboxSize() const;
    bool IsAlive(const std::string& node) const;

    // Redis commands waiting to be written (metrics, bounds).
    size_t Backlog() const { return link_.Queued(); }

  private:
    using Argv = std::vector<std::string>;
    struct NodeReply {
        std::string node;
        RedisReply reply;
    };
    // Runs the commands given for each node of the cluster (this one included) and calls
    // done once every reply is in: the replies in order, or nothing when any failed.
    void gather(std::function<std::vector<Argv>(const std::string& node)> commands,
                std::function<void(std::optional<std::vector<NodeReply>>)> done);
    void onLinkState(bool up);
    using Message = std::shared_ptr<const std::string>;
    void publish(const std::string& node, uint64_t seq, Message message);
    // Under outMu_: keeps a message that did not go out (false when it was dropped).
    void parkLocked(const std::string& node, uint64_t seq, Message message);
    // Sends what waits for each node again; drops what is too old (or everything).
    void flushOutbox();
    void dropOutbox(const std::string& node, const std::string& why);
    void tick();
    void join();
    void claimBlock(int block, int tried);
    void refresh();
    void checkDeaths();
    void cleanUp(const std::string& dead);
    std::string usersKey(const std::string& node) const;
    std::string roomsKey(const std::string& node) const;
    std::string imagesKey(const std::string& node) const;

    const ClusterConfig config_;
    Scheduler& executor_;
    RedisLink link_;
    std::atomic<bool> joined_{false};
    std::atomic<int> block_{-1};
    std::atomic<int64_t> joinedAtMs_{0};
    std::atomic<bool> stopping_{false};
    std::mutex tickMu_;  // guards tickTask_ between the tick and Stop
    Scheduler::TaskId tickTask_ = 0;
    bool joining_ = false;
    bool presumedDead_ = false;

    struct Outbox {
        std::map<uint64_t, Message> waiting;  // by send order
        int64_t sinceMs = 0;                  // when the oldest waiting message was parked
    };
    mutable std::mutex outMu_;
    std::map<std::string, Outbox> outbox_;
    size_t outboxTotal_ = 0;
    uint64_t outSeq_ = 0;
    const size_t outboxLimit_;
    const int64_t outboxMaxAgeMs_;
    limits::TEpisode outboxDrop_;

    mutable std::mutex aliveMu_;
    std::set<std::string> alive_;     // nodes seen alive at the last check
    std::set<std::string> cleaning_;  // deaths being handled
};

}  // namespace tessil::cluster
