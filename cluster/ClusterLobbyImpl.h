// The cluster lobby's class (see ClusterLobby.h), shared by its two source files: the
// routing of requests (ClusterLobby.cpp) and the rooms spread over nodes, with stand-ins,
// seats and the other nodes' messages (ClusterRooms.cpp).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "cluster/ClientStrand.h"
#include "cluster/ClusterLobby.h"
#include "cluster/ClusterTransport.h"
#include "lobby/NetMesg.h"
#include "platform/LimitEvents.h"
#include "platform/Scheduler.h"
#include "server/CmdLineObject.h"
#include "server/DataMod.h"
#include "server/RequestIntake.h"

namespace tessil::cluster {

class ClusterLobbyImpl final : public IAppLobby, public ClusterTransport::IStandIns {
  public:
    ClusterLobbyImpl(const std::string& configFile, ClusterConfig config);
    ~ClusterLobbyImpl() override;

    std::shared_ptr<void> AttachServer(TCommonMsgServer* server) override;
    void DetachServer() override;
    void DataReceived(const TClientRecPtr& client, std::string_view body) override;
    void ClientDisconnected(const TClientRecPtr& client) override;
    void SendAuthOk(const TClientRecPtr& client) override;
    int32_t ClientConnections() override { return cmd_.Tessil_Check_ClientConnection(); }
    int32_t RoomCount() override { return cmd_.Tessil_Check_RoomCount(); }
    int32_t UserCount() override;
    int64_t ProcessCount() override { return static_cast<int64_t>(intake_.ProcessCount()); }
    TClusterFigures ClusterFigures() override;
    // Every node's users and rooms, each row marked with its node: this node's from its
    // registry, the others' from the directory as last read (every second).
    std::string UsersJson() override;
    std::string RoomsJson() override;
    // A user of this node is kicked here; another node's is asked of its node (true once
    // asked).
    bool Kick(const std::string& usrid) override;

  private:
    // One parsed request (the intake parses its text again when it runs it here).
    struct Peek {
        std::string text;  // the request's JSON text (RequestText of its body)
        bool parsed = false;
        std::string word;
        int32_t command = 0;
        TJsonObject json;
    };
    // The command of a request's JSON text (RequestText of its body).
    static Peek peek(std::string requestText);

    // ---- routing (ClusterLobby.cpp); each returns true when finished, false when the
    // strand is finished later ----
    bool handle(const TClientRecPtr& client, const std::string& body);
    bool login(const TClientRecPtr& client, const Peek& p);
    bool logout(const TClientRecPtr& client, const Peek& p);
    bool userList(const TClientRecPtr& client, const Peek& p);
    bool findUser(const TClientRecPtr& client, const Peek& p);
    bool roomList(const TClientRecPtr& client, const Peek& p);
    bool userMessage(const TClientRecPtr& client, const Peek& p);
    bool disconnected(const TClientRecPtr& client);
    // LOGOUT of a user of this node asked by another node: the lobby's verdict (the ID's
    // lock, the password), and the user's cluster state cleared.
    TGameUserInfo::TLogoutResult decideLogout(const std::string& usrid, const std::string& pass);
    // A user of this node is no longer logged in: its seat elsewhere, ID and entry go.
    void loggedOut(const std::string& usrid);
    void onLogoutAsk(const WireMessage& m);
    void onLogoutVerdict(const WireMessage& m);
    void failLogout(const std::string& requestId);
    // LOGOUTs waiting for the answer of `node` (every node: "").
    std::vector<std::string> logoutsTo(const std::string& node) const;
    // Runs the request (its text, already counted and logged) here, then publishes what it
    // changed.
    void runHere(const TClientRecPtr& client, const std::string& requestText,
                 int32_t extraRoom = 0);
    bool gatePasses(const TClientRecPtr& client) const;
    // The reply for a command that needs the cluster while it is unreachable.
    void refuseUnavailable(const TClientRecPtr& client, std::string_view word);
    void finish(const TClientRecPtr& client) { strand_.Finish(client.get()); }
    void reply(const TClientRecPtr& client, const std::string& text) { cmd_.Reply(text, client); }
    void replyList(const TClientRecPtr& client, const std::string& text) {
        cmd_.ReplyList(text, client);
    }

    // ---- rooms over nodes (ClusterRooms.cpp) ----
    bool forward(const TClientRecPtr& client, const std::string& body, const std::string& node,
                 const std::string& word);
    // Publishes what an operation on rooms `rooms` changed: the room directory entries,
    // the list entries of this node's users and the state of stand-ins (dropping those
    // that left their room). `done`: the stand-in whose forwarded request just ran.
    struct DoneFor {
        TClientRecPtr standIn;
        std::string requestId;
    };
    std::vector<TClientRecPtr> membersOf(int32_t roomNo) const;
    void settle(const std::vector<TClientRecPtr>& touched, const std::set<int32_t>& rooms,
                const DoneFor* done = nullptr);
    // Runs fn on the lobby and settles the rooms of `subject` before and after.
    void withSettle(const TClientRecPtr& subject, const std::function<void()>& fn,
                    int32_t extraRoom = 0, const DoneFor* done = nullptr);
    void publishPresence(const TClientRecPtr& client);
    void onMessage(WireMessage m);
    void onForward(const WireMessage& m);
    void onDone(const WireMessage& m);
    void applyState(const std::string& from, const std::string& user, int32_t roomNo, int32_t stat,
                    bool answered);
    void onRoomFrame(const WireMessage& m, bool fromRoomNode);
    void onLogout(const WireMessage& m);
    void onResync(const WireMessage& m);
    // Tells the nodes of this node's stand-ins where they sit (after Redis came back).
    void resyncStandIns();
    void onNodeDead(const std::string& node);
    // A room as a survivor needs it to take the room over ("" when no member sits on
    // another node: then nobody would survive this node in it). Under the registry lock.
    std::string roomImage(int32_t roomNo) const;
    // Takes over the rooms of a dead node whose images this node won.
    void adopt(const std::string& dead, const std::vector<std::pair<int32_t, std::string>>& images);
    void onAdopted(const WireMessage& m);
    // The local users still seated in rooms of `node` lose their seats (DELROOM).
    void loseSeats(const std::string& node);
    // A record for a user of another node in this node's rooms; null when the ID is in
    // use here.
    TClientRecPtr makeStandIn(const std::string& user, const std::string& home,
                              const std::vector<std::string_view>& fields);
    // The number blocks of this node's rooms, and the rooms of a block another node holds.
    std::set<int> liveBlocks() const;
    void onBlockLost(int block);
    void onJoined(bool presumedDead);
    void onLost();
    // A local user's seat in a room of `node` is gone with that room.
    void loseSeat(const std::string& user, const std::string& node);
    // Takes a stand-in out of its room (with the room's events) and forgets it.
    void removeStandIn(const TClientRecPtr& standIn);
    void forgetStandIn(const TClientRecPtr& standIn);
    void failForward(const std::string& user, const std::string& requestId);
    // ForwardTimeoutMs from now (after a forward, and again while Redis is away or just
    // back): fails the forward unless its completion may still come out of an outbox.
    void armForwardTimeout(const std::string& user, const std::string& requestId,
                           std::chrono::steady_clock::time_point sent);
    void forwardTimedOut(const std::string& user, const std::string& requestId,
                         std::chrono::steady_clock::time_point sent);
    TClientRecPtr localClient(const std::string& user) const;
    std::set<std::string> peers() const;
    // Every second: the cluster-wide counts for the window and /metrics, and the other
    // nodes' rows for the panel.
    void countCluster();
    void readOtherNodes();
    bool kickHere(const std::string& usrid);

    // IStandIns (any thread, also under the registry lock).
    bool IsStandIn(const TClientRec* client) const override;
    void SendToStandIn(const TClientRecPtr& client, std::string_view frame) override;
    void CloseStandIn(const TClientRecPtr& client) override;

    // Destroyed in reverse: the node (joins the Redis threads), the executor, the
    // strand, the intake, the command handler (clears the lobby), the account store.
    TDataMod dataMod_;
    mutable TCmdLineObject cmd_;  // mutable: the const queries read the registry
    RequestIntake intake_;
    ClientStrand strand_;
    // Shared with the reply path's handle, which may outlive this object.
    std::shared_ptr<ClusterTransport> transport_;

    // Stand-ins: records of users of other nodes who sit in this node's rooms.
    struct StandIn {
        std::string user, home;
        int32_t sentRoom = -3, sentStat = -1;
    };
    mutable std::shared_mutex standInMu_;
    std::unordered_map<const TClientRec*, StandIn> standIns_;
    std::unordered_map<std::string, TClientRecPtr> standInByUser_;
    std::atomic<size_t> standInCount_{0};

    // Seats: users of this node sitting in rooms of other nodes, and forwarded requests
    // waiting for their node's answer (at most one per user: the strand).
    struct Pending {
        std::string node, requestId;
        TClientRecPtr client;
        std::string word;
        // The room node's answer to the request has reached the client (its completion
        // may still be on its way).
        bool answered = false;
    };
    mutable std::mutex seatMu_;
    std::map<std::string, std::string> seats_;  // user -> node owning the room
    std::map<std::string, Pending> pending_;    // user -> forwarded request
    // LOGOUTs of other nodes' users, waiting for their node's verdict (by request id).
    struct PendingLogout {
        std::string node;
        TClientRecPtr client;
    };
    std::map<std::string, PendingLogout> logouts_;
    uint64_t nextRequest_ = 0;

    // What was last published to Redis for this node's rooms and users.
    std::mutex publishedMu_;
    std::map<int32_t, std::string> publishedRooms_;
    std::map<int32_t, std::string> publishedImages_;
    std::map<std::string, std::pair<int32_t, int32_t>> publishedUsers_;

    std::atomic<int64_t> clusterUsers_{-1}, clusterRooms_{-1};
    // The other nodes' panel rows (JSON, comma-separated) and where their users are.
    std::mutex othersMu_;
    std::string otherUsers_, otherRooms_;
    std::map<std::string, std::string> otherUserNodes_;
    limits::TEpisode unavailable_;
    limits::TEpisode queueFull_;
    const int64_t forwardTimeoutMs_;
    const int64_t aliveTtlMs_;

    // Runs Redis results, the other nodes' messages and the liveness tick, one at a time.
    std::unique_ptr<Scheduler> executor_;
    Scheduler& exec_;  // *executor_, for the tasks (the pointer itself is reset at the end)
    ClusterNode node_;
};

}  // namespace tessil::cluster
