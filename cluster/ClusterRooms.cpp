// The cluster lobby's rooms over nodes: requests forwarded to the node of the user's room
// and run there through a stand-in record, what each operation changed published to the
// directory and to the members' nodes, and what a node's death or Redis's return means for
// them. Engine workers (settling after local requests) and the cluster executor.
#include <chrono>
#include <exception>

#include "cluster/ClusterLobbyImpl.h"
#include "platform/AppLog.h"
#include "protocol/ClientProtocol.h"
#include "protocol/TextUtils.h"

namespace tessil::cluster {

namespace {

std::string StripBrackets(const std::string& list) {
    if (list.size() < 2) return std::string();
    return list.substr(1, list.size() - 2);
}

// The forwarded request this thread is running for a stand-in (onForward). The frames the
// request sends its own requester carry the request's id, so that the requester's node
// knows its client has been answered even if the completion is held up afterwards.
struct Answering {
    const TClientRec* standIn = nullptr;
    const std::string* requestId = nullptr;
};
thread_local Answering tAnswering;

class AnsweringScope {
  public:
    AnsweringScope(const TClientRec* standIn, const std::string& requestId) : saved_(tAnswering) {
        tAnswering = Answering{standIn, &requestId};
    }
    ~AnsweringScope() { tAnswering = saved_; }
    AnsweringScope(const AnsweringScope&) = delete;
    AnsweringScope& operator=(const AnsweringScope&) = delete;

  private:
    Answering saved_;
};

}  // namespace

// ---- stand-ins ---------------------------------------------------------------------------

bool ClusterLobbyImpl::IsStandIn(const TClientRec* client) const {
    if (standInCount_.load(std::memory_order_acquire) == 0) return false;
    std::shared_lock lock(standInMu_);
    return standIns_.count(client) != 0;
}

void ClusterLobbyImpl::SendToStandIn(const TClientRecPtr& client, std::string_view frame) {
    std::string user, home;
    {
        std::shared_lock lock(standInMu_);
        auto it = standIns_.find(client.get());
        if (it == standIns_.end()) return;
        user = it->second.user;
        home = it->second.home;
    }
    if (tAnswering.standIn == client.get())
        node_.Send(home, EncodeWire(WireKind::RoomFrame,
                                    {node_.Name(), user, frame, *tAnswering.requestId}));
    else
        node_.Send(home, EncodeWire(WireKind::RoomFrame, {node_.Name(), user, frame}));
}

void ClusterLobbyImpl::CloseStandIn(const TClientRecPtr&) {
    // The user's connection belongs to its own node, which alone decides to close it (a
    // node that stops or clears its lobby must not close other nodes' clients).
}

void ClusterLobbyImpl::forgetStandIn(const TClientRecPtr& standIn) {
    std::unique_lock lock(standInMu_);
    auto it = standIns_.find(standIn.get());
    if (it == standIns_.end()) return;
    auto byUser = standInByUser_.find(it->second.user);
    if (byUser != standInByUser_.end() && byUser->second == standIn) standInByUser_.erase(byUser);
    standIns_.erase(it);
    standInCount_.fetch_sub(1, std::memory_order_release);
}

void ClusterLobbyImpl::removeStandIn(const TClientRecPtr& standIn) {
    withSettle(standIn, [&] { cmd_.GameInfo().LogoutClient(standIn); });
    forgetStandIn(standIn);
}

std::set<std::string> ClusterLobbyImpl::peers() const {
    std::set<std::string> out;
    {
        std::shared_lock lock(standInMu_);
        for (const auto& [rec, s] : standIns_) out.insert(s.home);
    }
    std::lock_guard lock(seatMu_);
    for (const auto& [user, node] : seats_) out.insert(node);
    for (const auto& [user, p] : pending_) out.insert(p.node);
    return out;
}

TClientRecPtr ClusterLobbyImpl::localClient(const std::string& user) const {
    auto usr = cmd_.GameInfo().GetUser(user);
    if (!usr || IsStandIn(usr->Client().get())) return nullptr;
    return usr->Client();
}

// ---- forwarding ----------------------------------------------------------------------------

bool ClusterLobbyImpl::forward(const TClientRecPtr& client, const std::string& body,
                               const std::string& node, const std::string& word) {
    if (!node_.Joined()) {
        refuseUnavailable(client, word);
        return true;
    }
    const std::string user = client->FUsrID;
    std::string requestId;
    {
        std::lock_guard lock(seatMu_);
        requestId = node_.Name() + "/" + std::to_string(++nextRequest_);
        pending_[user] = Pending{node, requestId, client, word};
    }
    node_.Send(
        node, EncodeWire(WireKind::Forward,
                         {node_.Name(), user, client->FUsrPass, client->FTagID, client->FGCode,
                          client->FUsrName, client->FUserNick, client->FUsrInfo, requestId, body}));
    armForwardTimeout(user, requestId, std::chrono::steady_clock::now());
    return false;
}

void ClusterLobbyImpl::armForwardTimeout(const std::string& user, const std::string& requestId,
                                         std::chrono::steady_clock::time_point sent) {
    exec_.ScheduleAfter(forwardTimeoutMs_,
                        [this, user, requestId, sent] { forwardTimedOut(user, requestId, sent); });
}

void ClusterLobbyImpl::forwardTimedOut(const std::string& user, const std::string& requestId,
                                       std::chrono::steady_clock::time_point sent) {
    {
        std::lock_guard lock(seatMu_);
        auto it = pending_.find(user);
        if (it == pending_.end() || it->second.requestId != requestId) return;
    }
    // With Redis away, or back for less than the liveness time-out, the room node may have
    // answered the client already while its completion still waits in an outbox: failing
    // the request now would answer it twice (its reply, then E014). It waits until the
    // completion can no longer come, because the outbox would have dropped it.
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - sent);
    if (!node_.AdmitsLogins() && waited.count() < node_.OutboxMaxAgeMs()) {
        armForwardTimeout(user, requestId, sent);
        return;
    }
    failForward(user, requestId);
}

void ClusterLobbyImpl::failForward(const std::string& user, const std::string& requestId) {
    Pending p;
    {
        std::lock_guard lock(seatMu_);
        auto it = pending_.find(user);
        if (it == pending_.end() || it->second.requestId != requestId) return;
        p = std::move(it->second);
        pending_.erase(it);
    }
    if (p.answered)
        filelog::Write("Cluster", "node " + p.node + " answered a forwarded " + p.word +
                                      " but did not complete it");
    else
        filelog::Write("Cluster", "node " + p.node + " did not answer a forwarded " + p.word);
    bool seatedThere = false;
    {
        std::lock_guard lock(seatMu_);
        auto it = seats_.find(user);
        seatedThere = it != seats_.end() && it->second == p.node;
    }
    // What the request did there is unknown; a user not seated there must not be left
    // seated by a late entry.
    if (!seatedThere) node_.Send(p.node, EncodeWire(WireKind::Logout, {node_.Name(), user}));
    // A client that has its answer is not answered again.
    if (!p.answered) refuseUnavailable(p.client, p.word);
    finish(p.client);
}

void ClusterLobbyImpl::onForward(const WireMessage& m) {
    if (m.fields.size() != 10) return;
    const std::string& from = m.fields[0];
    const std::string& user = m.fields[1];
    const std::string& requestId = m.fields[8];
    const std::string& body = m.fields[9];
    auto answer = [&](int32_t roomNo, int32_t stat) {
        node_.Send(
            from, EncodeWire(WireKind::Done, {node_.Name(), user, requestId, std::to_string(roomNo),
                                              std::to_string(stat)}));
    };
    TClientRecPtr rec;
    TClientRecPtr stale;
    {
        std::shared_lock lock(standInMu_);
        auto it = standInByUser_.find(user);
        if (it != standInByUser_.end()) {
            if (standIns_.at(it->second.get()).home == from)
                rec = it->second;
            else
                stale = it->second;
        }
    }
    if (stale) removeStandIn(stale);  // the user has moved to another node meanwhile
    if (!rec) {
        rec = makeStandIn(
            user, from,
            {m.fields[2], m.fields[3], m.fields[4], m.fields[5], m.fields[6], m.fields[7]});
        if (!rec) {
            answer(-2, 0);  // the ID is in use here: never admit it twice
            return;
        }
    }
    int32_t target = 0;
    // Counted and logged here too: this node runs it.
    const Peek p = peek(intake_.NoteRequest(body));
    if (p.parsed && p.command == cmdEnterRoom) GetJosnValue_Int(&p.json, "roomNo", target);
    DoneFor done{rec, requestId};
    auto run = [&] {
        metrics::RequestTimer timing;
        if (p.parsed) timing.command = p.word;
        AnsweringScope answering(rec.get(), requestId);
        intake_.HandleNoted(rec, p.text);
    };
    if (p.parsed && (p.command == cmdUsrMsgAll || p.command == cmdUsrDef)) {
        // Chat changes no state: only the answer goes back.
        run();
        settle({rec}, {}, &done);
        return;
    }
    withSettle(rec, run, target, &done);
}

TClientRecPtr ClusterLobbyImpl::makeStandIn(const std::string& user, const std::string& home,
                                            const std::vector<std::string_view>& fields) {
    // fields: pass, tag, gcode, name, nick, info
    if (fields.size() != 6 || cmd_.Tessil_IsExistsUser(user)) return nullptr;
    auto rec = std::make_shared<TClientRec>();
    rec->FID = user;
    rec->FAddress = "node:" + home;
    rec->FPort = "0";
    if (!cmd_.GameInfo().AddNewUser(rec, user, fields[0], fields[1], fields[2], fields[3],
                                    fields[4], fields[5]))
        return nullptr;
    rec->FLoginState = 1;
    rec->FRoomNo = -2;
    rec->FGameStat = 0;
    std::unique_lock lock(standInMu_);
    standIns_[rec.get()] = StandIn{user, home};
    standInByUser_[user] = rec;
    standInCount_.fetch_add(1, std::memory_order_release);
    return rec;
}

void ClusterLobbyImpl::onDone(const WireMessage& m) {
    if (m.fields.size() != 5) return;
    Pending p;
    {
        std::lock_guard lock(seatMu_);
        auto it = pending_.find(m.fields[1]);
        if (it == pending_.end() || it->second.requestId != m.fields[2]) return;
        p = std::move(it->second);
        pending_.erase(it);
    }
    applyState(m.fields[0], m.fields[1], WireInt(m.fields[3], -2), WireInt(m.fields[4], 0), true);
    finish(p.client);
}

void ClusterLobbyImpl::applyState(const std::string& from, const std::string& user, int32_t roomNo,
                                  int32_t stat, bool answered) {
    TClientRecPtr client = localClient(user);
    if (!client) return;
    {
        std::lock_guard lock(seatMu_);
        auto it = seats_.find(user);
        const bool seatedThere = it != seats_.end() && it->second == from;
        // A state from a node whose room the user has left (or never entered) is stale.
        if (!seatedThere && !answered) return;
        if (roomNo >= 1)
            seats_[user] = from;
        else if (seatedThere)
            seats_.erase(it);
        else if (it != seats_.end())
            return;  // answered by a room the user is not in
    }
    {
        auto guard = cmd_.GameInfo().Guard();
        client->FRoomNo = roomNo;
        client->FGameStat = stat;
    }
    publishPresence(client);
}

void ClusterLobbyImpl::onRoomFrame(const WireMessage& m, bool fromRoomNode) {
    // A room node's frame may name the forwarded request it answers (a fourth field).
    if (m.fields.size() != 3 && !(fromRoomNode && m.fields.size() == 4)) return;
    const std::string& from = m.fields[0];
    const std::string& user = m.fields[1];
    TClientRecPtr client = localClient(user);
    if (!client) return;
    if (fromRoomNode) {
        std::lock_guard lock(seatMu_);
        auto seat = seats_.find(user);
        auto pending = pending_.find(user);
        const bool expected = (seat != seats_.end() && seat->second == from) ||
                              (pending != pending_.end() && pending->second.node == from);
        if (!expected) return;  // a room the user has left
        // The answer to the request still waiting: the client has it from now on, so a
        // completion held up past the time-out must not draw a second answer (E014).
        if (m.fields.size() == 4 && pending != pending_.end() && pending->second.node == from &&
            pending->second.requestId == m.fields[3])
            pending->second.answered = true;
    }
    if (auto net = cmd_.NetMesg())
        net->SendFrame(std::make_shared<const std::string>(m.fields[2]), client);
}

void ClusterLobbyImpl::onLogout(const WireMessage& m) {
    if (m.fields.size() != 2) return;
    TClientRecPtr rec;
    {
        std::shared_lock lock(standInMu_);
        auto it = standInByUser_.find(m.fields[1]);
        if (it != standInByUser_.end() && standIns_.at(it->second.get()).home == m.fields[0])
            rec = it->second;
    }
    if (rec) removeStandIn(rec);
}

void ClusterLobbyImpl::resyncStandIns() {
    auto guard = cmd_.GameInfo().Guard();
    std::shared_lock lock(standInMu_);
    for (const auto& [rec, s] : standIns_) {
        const TClientRecPtr& client = standInByUser_.at(s.user);
        node_.Send(s.home, EncodeWire(WireKind::Resync,
                                      {node_.Name(), s.user, std::to_string(client->FRoomNo.load()),
                                       std::to_string(client->FGameStat.load())}));
    }
}

void ClusterLobbyImpl::onResync(const WireMessage& m) {
    if (m.fields.size() != 4) return;
    const std::string& from = m.fields[0];
    const std::string& user = m.fields[1];
    TClientRecPtr client = localClient(user);
    bool stale = !client;
    if (client) {
        std::lock_guard lock(seatMu_);
        auto it = seats_.find(user);
        // Seated in another room, or in a room of this node: that node's stand-in is left
        // over from a lost message.
        stale = it != seats_.end() ? it->second != from : client->FRoomNo >= 1;
    }
    if (stale) {
        node_.Send(from, EncodeWire(WireKind::Logout, {node_.Name(), user}));
        return;
    }
    applyState(from, user, WireInt(m.fields[2], -2), WireInt(m.fields[3], 0), true);
}

void ClusterLobbyImpl::onMessage(WireMessage m) {
    try {
        switch (m.kind) {
            case WireKind::Deliver:
                onRoomFrame(m, false);
                break;
            case WireKind::RoomFrame:
                onRoomFrame(m, true);
                break;
            case WireKind::Forward:
                onForward(m);
                break;
            case WireKind::Done:
                onDone(m);
                break;
            case WireKind::State:
                if (m.fields.size() == 4)
                    applyState(m.fields[0], m.fields[1], WireInt(m.fields[2], -2),
                               WireInt(m.fields[3], 0), false);
                break;
            case WireKind::Logout:
                onLogout(m);
                break;
            case WireKind::Resync:
                onResync(m);
                break;
            case WireKind::LogoutAsk:
                onLogoutAsk(m);
                break;
            case WireKind::LogoutVerdict:
                onLogoutVerdict(m);
                break;
            case WireKind::Adopted:
                onAdopted(m);
                break;
            case WireKind::RoomImage:
                break;
            case WireKind::Kick:
                if (m.fields.size() == 2 && kickHere(m.fields[1]))
                    filelog::Write("Cluster", "kicked " + m.fields[1] + " at the request of node " +
                                                  m.fields[0]);
                break;
        }
    } catch (const std::exception& e) {
        filelog::Write("Cluster", std::string("message from another node: ") + e.what());
    }
}

// ---- publishing what changed -----------------------------------------------------------------

std::vector<TClientRecPtr> ClusterLobbyImpl::membersOf(int32_t roomNo) const {
    std::vector<TClientRecPtr> out;
    if (roomNo < 1) return out;
    auto guard = cmd_.GameInfo().Guard();
    auto room = cmd_.GameInfo().FindRoom(roomNo);
    if (!room) return out;
    for (const auto& [id, member] : room->FUserList) out.push_back(member.Client);
    return out;
}

void ClusterLobbyImpl::withSettle(const TClientRecPtr& subject, const std::function<void()>& fn,
                                  int32_t extraRoom, const DoneFor* done) {
    std::set<int32_t> rooms{subject->FRoomNo.load()};
    if (extraRoom >= 1) rooms.insert(extraRoom);
    std::vector<TClientRecPtr> touched{subject};
    for (int32_t r : rooms) {
        auto m = membersOf(r);
        touched.insert(touched.end(), m.begin(), m.end());
    }
    fn();
    rooms.insert(subject->FRoomNo.load());
    for (int32_t r : rooms) {
        auto m = membersOf(r);
        touched.insert(touched.end(), m.begin(), m.end());
    }
    settle(touched, rooms, done);
}

void ClusterLobbyImpl::publishPresence(const TClientRecPtr& client) {
    PresenceItem item;
    {
        auto guard = cmd_.GameInfo().Guard();
        if (!cmd_.GameInfo().IsListedClient(client)) return;
        item.userid = client->FUsrID;
        item.nick = client->FUserNick;
        item.gcode = client->FGCode;
        item.roomNo = client->FRoomNo;
        item.gameStat = client->FGameStat;
    }
    {
        std::lock_guard lock(publishedMu_);
        auto& last = publishedUsers_[item.userid];
        if (last == std::make_pair(item.roomNo, item.gameStat)) return;
        last = {item.roomNo, item.gameStat};
    }
    node_.PutUser(item);
}

void ClusterLobbyImpl::settle(const std::vector<TClientRecPtr>& touched,
                              const std::set<int32_t>& rooms, const DoneFor* done) {
    std::vector<TClientRecPtr> leaving;
    {
        // Read and published under the registry lock, so what goes out for one record is
        // always its latest state, in the order the operations happened.
        auto guard = cmd_.GameInfo().Guard();
        // Rooms of other nodes are not in this registry: their items are empty and were
        // never published from here.
        for (int32_t r : rooms) {
            if (r < 1) continue;
            const std::string item = StripBrackets(cmd_.Tessil_GetRoomList(r));
            const std::string image = roomImage(r);
            std::lock_guard lock(publishedMu_);
            if (image.empty()) {
                if (publishedImages_.erase(r) != 0) node_.DropRoomImage(r);
            } else if (auto& was = publishedImages_[r]; was != image) {
                was = image;
                node_.PutRoomImage(r, image);
            }
            if (item.empty()) {
                if (publishedRooms_.erase(r) != 0) node_.DropRoom(r);
            } else {
                auto& was = publishedRooms_[r];
                if (was != item) {
                    was = item;
                    node_.PutRoom(r, item);
                }
            }
        }
        std::set<const TClientRec*> seen;
        for (const auto& rec : touched) {
            if (!rec || !seen.insert(rec.get()).second) continue;
            const int32_t roomNo = rec->FRoomNo, stat = rec->FGameStat;
            std::string user, home;
            bool send = false;
            const bool answer = done != nullptr && done->standIn == rec;
            {
                std::unique_lock lock(standInMu_);
                auto it = standIns_.find(rec.get());
                if (it != standIns_.end()) {
                    StandIn& s = it->second;
                    send = answer || s.sentRoom != roomNo || s.sentStat != stat;
                    s.sentRoom = roomNo;
                    s.sentStat = stat;
                    user = s.user;
                    home = s.home;
                }
            }
            if (home.empty()) {
                publishPresence(rec);
                continue;
            }
            const std::string room = std::to_string(roomNo), st = std::to_string(stat);
            if (answer)
                node_.Send(home, EncodeWire(WireKind::Done,
                                            {node_.Name(), user, done->requestId, room, st}));
            else if (send)
                node_.Send(home, EncodeWire(WireKind::State, {node_.Name(), user, room, st}));
            if (roomNo < 1) leaving.push_back(rec);
        }
    }
    // A stand-in that left its room is no longer needed here.
    for (const auto& rec : leaving) {
        cmd_.GameInfo().LogoutClient(rec);
        forgetStandIn(rec);
    }
}

// ---- failures and rejoining ---------------------------------------------------------------

void ClusterLobbyImpl::loseSeat(const std::string& user, const std::string& node) {
    {
        std::lock_guard lock(seatMu_);
        auto it = seats_.find(user);
        if (it == seats_.end() || it->second != node) return;
        seats_.erase(it);
    }
    TClientRecPtr client = localClient(user);
    if (!client) return;
    // The room went with its node: for this member it is closed, as when its master
    // closes it.
    {
        // Out of the room before the notice can reach the client and draw its next request.
        auto guard = cmd_.GameInfo().Guard();
        client->FRoomNo = -2;
        client->FGameStat = 0;
        reply(client, MakeMsgForClient("DELROOM", code::E000, text::RoomClosed));
    }
    publishPresence(client);
}

void ClusterLobbyImpl::onNodeDead(const std::string& node) {
    std::vector<TClientRecPtr> standIns;
    {
        std::shared_lock lock(standInMu_);
        for (const auto& [rec, s] : standIns_) {
            if (s.home == node) standIns.push_back(standInByUser_.at(s.user));
        }
    }
    // Its users leave this node's rooms by the lobby's own rules (USROUT, hand-over, close).
    for (const auto& rec : standIns) removeStandIn(rec);
    std::vector<std::string> seated;
    std::vector<std::pair<std::string, std::string>> waiting;
    {
        std::lock_guard lock(seatMu_);
        for (const auto& [user, n] : seats_)
            if (n == node) seated.push_back(user);
        for (const auto& [user, p] : pending_)
            if (p.node == node) waiting.emplace_back(user, p.requestId);
    }
    for (const auto& [user, id] : waiting) failForward(user, id);
    for (const auto& id : logoutsTo(node)) failLogout(id);
    if (seated.empty()) return;
    // Its rooms where users of this node sit live on: the first survivor to claim them
    // takes them over and tells the others where their users' seats moved.
    node_.AdoptRooms(node, [this, node](std::optional<ClusterNode::Adoption> a) {
        if (a && a->winner == node_.Name()) adopt(node, a->images);
        if (!a || a->winner.empty() || a->images.empty()) {
            loseSeats(node);
            return;
        }
        // Seats the taker did not move in time are lost with the room.
        exec_.ScheduleAfter(forwardTimeoutMs_, [this, node] { loseSeats(node); });
    });
}

void ClusterLobbyImpl::loseSeats(const std::string& node) {
    std::vector<std::string> seated;
    {
        std::lock_guard lock(seatMu_);
        for (const auto& [user, n] : seats_)
            if (n == node) seated.push_back(user);
    }
    for (const auto& user : seated) loseSeat(user, node);
}

// The image: master, subject, password, game code, type, term, state, then for each member
// user, home node, game state, tag, game code, name, nick, info.
std::string ClusterLobbyImpl::roomImage(int32_t roomNo) const {
    auto room = cmd_.GameInfo().FindRoom(roomNo);
    if (!room) return std::string();
    std::vector<std::string> fields{room->FMasterid,
                                    room->FSubject,
                                    room->FPassword,
                                    room->FGameCode,
                                    std::to_string(room->FRoomType),
                                    std::to_string(room->FRoomTerm),
                                    std::to_string(room->FRoomState)};
    bool elsewhere = false;
    {
        std::shared_lock lock(standInMu_);
        for (const auto& [id, member] : room->FUserList) {
            const TClientRec& c = *member.Client;
            auto s = standIns_.find(&c);
            const bool standIn = s != standIns_.end();
            elsewhere = elsewhere || standIn;
            fields.insert(fields.end(), {id, standIn ? s->second.home : node_.Name(),
                                         std::to_string(c.FGameStat.load()), c.FTagID, c.FGCode,
                                         c.FUsrName, c.FUserNick, c.FUsrInfo});
        }
    }
    if (!elsewhere) return std::string();
    return EncodeWire(WireKind::RoomImage,
                      std::vector<std::string_view>(fields.begin(), fields.end()));
}

void ClusterLobbyImpl::adopt(const std::string& dead,
                             const std::vector<std::pair<int32_t, std::string>>& images) {
    constexpr size_t kRoomFields = 7, kMemberFields = 8;
    for (const auto& [roomNo, text] : images) {
        auto m = DecodeWire(text);
        if (!m || m->kind != WireKind::RoomImage || m->fields.size() < kRoomFields ||
            (m->fields.size() - kRoomFields) % kMemberFields != 0)
            continue;
        const auto& f = m->fields;
        TGameUserInfo::TRoomImage image;
        image.number = roomNo;
        image.master = f[0];
        image.subject = f[1];
        image.password = f[2];
        image.gameCode = f[3];
        image.type = WireInt(f[4], 0);
        image.term = WireInt(f[5], 0);
        image.state = WireInt(f[6], 0);
        std::vector<TClientRecPtr> made, leaving;
        std::vector<std::pair<std::string, std::string>> told;  // home, user
        std::vector<std::string> here;
        for (size_t i = kRoomFields; i < f.size(); i += kMemberFields) {
            const std::string& user = f[i];
            const std::string& home = f[i + 1];
            const int32_t stat = WireInt(f[i + 2], 0);
            if (home == node_.Name()) {
                TClientRecPtr client = localClient(user);
                std::lock_guard lock(seatMu_);
                auto seat = seats_.find(user);
                if (!client || seat == seats_.end() || seat->second != dead ||
                    client->FRoomNo != roomNo)
                    continue;  // no longer in that room
                image.members.emplace_back(client, stat);
                here.push_back(user);
                continue;
            }
            // The dead node's members too: they then leave by the lobby's rules.
            TClientRecPtr rec =
                makeStandIn(user, home, {"", f[i + 3], f[i + 4], f[i + 5], f[i + 6], f[i + 7]});
            if (!rec) continue;
            made.push_back(rec);
            image.members.emplace_back(rec, stat);
            if (home == dead)
                leaving.push_back(rec);
            else
                told.emplace_back(home, user);
        }
        if (!cmd_.GameInfo().AdoptRoom(image)) {
            for (const auto& rec : made) {
                cmd_.GameInfo().LogoutClient(rec);
                forgetStandIn(rec);
            }
            continue;
        }
        filelog::Write("Cluster", "took over room " + std::to_string(roomNo) + " of node " + dead);
        {
            std::lock_guard lock(seatMu_);
            for (const auto& user : here) seats_.erase(user);
        }
        // Before any event of the room: where the other members' seats now are.
        for (const auto& [home, user] : told)
            node_.Send(home, EncodeWire(WireKind::Adopted,
                                        {node_.Name(), dead, std::to_string(roomNo), user}));
        settle(membersOf(roomNo), {roomNo});
        for (const auto& rec : leaving) removeStandIn(rec);
    }
}

void ClusterLobbyImpl::onAdopted(const WireMessage& m) {
    if (m.fields.size() != 4) return;
    const std::string& from = m.fields[0];
    const std::string& user = m.fields[3];
    TClientRecPtr client = localClient(user);
    bool moved = false;
    if (client) {
        std::lock_guard lock(seatMu_);
        auto it = seats_.find(user);
        if (it != seats_.end() && it->second == m.fields[1] &&
            client->FRoomNo == WireInt(m.fields[2], 0)) {
            it->second = from;
            moved = true;
        }
    }
    // A user no longer in that room: the taker's record of it is not needed.
    if (!moved) node_.Send(from, EncodeWire(WireKind::Logout, {node_.Name(), user}));
}

std::vector<std::string> ClusterLobbyImpl::logoutsTo(const std::string& node) const {
    std::vector<std::string> out;
    std::lock_guard lock(seatMu_);
    for (const auto& [id, p] : logouts_)
        if (node.empty() || p.node == node) out.push_back(id);
    return out;
}

std::set<int> ClusterLobbyImpl::liveBlocks() const {
    std::set<int> out;
    cmd_.GameInfo().WithLock([&](const auto&, const auto& rooms) {
        for (const auto& [key, room] : rooms) out.insert(ClusterNode::RoomBlockOf(room->FRoomNo));
    });
    return out;
}

void ClusterLobbyImpl::onBlockLost(int block) {
    std::vector<std::pair<std::string, int32_t>> doomed;
    cmd_.GameInfo().WithLock([&](const auto&, const auto& rooms) {
        for (const auto& [key, room] : rooms) {
            if (ClusterNode::RoomBlockOf(room->FRoomNo) == block)
                doomed.emplace_back(key, room->FRoomNo);
        }
    });
    if (doomed.empty()) return;
    // Another node may already number its rooms from this block: these rooms close for
    // their members (DELROOM, as when a master closes a room), wherever they sit.
    filelog::Write("Cluster", std::to_string(doomed.size()) + " rooms numbered in block " +
                                  std::to_string(block) +
                                  " closed: the block is held by another node");
    for (const auto& [key, roomNo] : doomed) {
        const auto touched = membersOf(roomNo);
        cmd_.GameInfo().DeleteRoom(key);
        settle(touched, {roomNo});
    }
}

void ClusterLobbyImpl::onJoined(bool presumedDead) {
    const auto [first, last] = node_.RoomRange();
    cmd_.GameInfo().SetRoomNumberRange(first, last);
    if (presumedDead) {
        // The others may have cleaned this node up while it was away: every membership
        // across nodes ends here too, with the lobby's events.
        filelog::Write("Cluster",
                       "rejoined after another node declared this one dead; rooms "
                       "shared with other nodes are closed for their members");
        std::vector<TClientRecPtr> standIns;
        {
            std::shared_lock lock(standInMu_);
            for (const auto& [user, rec] : standInByUser_) standIns.push_back(rec);
        }
        for (const auto& rec : standIns) removeStandIn(rec);
        std::vector<std::pair<std::string, std::string>> seated;
        {
            std::lock_guard lock(seatMu_);
            for (const auto& s : seats_) seated.push_back(s);
        }
        for (const auto& [user, n] : seated) loseSeat(user, n);
    }
    // Redis may have lost everything: claim this node's users again and republish.
    std::vector<TClientRecPtr> users;
    std::vector<int32_t> rooms;
    cmd_.GameInfo().WithLock([&](const auto& userMap, const auto& roomMap) {
        for (const auto& [id, usr] : userMap) users.push_back(usr->Client());
        for (const auto& [key, room] : roomMap) rooms.push_back(room->FRoomNo);
    });
    {
        std::lock_guard lock(publishedMu_);
        publishedUsers_.clear();
        publishedRooms_.clear();
        publishedImages_.clear();
    }
    for (const auto& client : users) {
        if (IsStandIn(client.get())) continue;
        const std::string id = client->FUsrID;
        node_.ClaimUser(id, [this, client, id](ClusterNode::Claim c) {
            if (c == ClusterNode::Claim::Taken) {
                // Another node admitted the ID while this one was away: one must go.
                filelog::Write("Cluster", "user " + id +
                                              " is logged in on another node; "
                                              "closing it here");
                cmd_.Disconnect(client, 1);
            } else if (c == ClusterNode::Claim::Claimed) {
                publishPresence(client);
            }
        });
    }
    settle({}, std::set<int32_t>(rooms.begin(), rooms.end()));
    // Messages sent while Redis was away are lost. Once every node is back (half the
    // liveness time-out, as for logins), the nodes of the stand-ins here learn again where
    // their users sit.
    if (!presumedDead) {
        exec_.ScheduleAfter(aliveTtlMs_ / 2, [this] {
            if (node_.Joined()) resyncStandIns();
        });
    }
}

void ClusterLobbyImpl::onLost() {
    // Forwarded requests keep waiting: the room node may have answered the client already
    // and its completion may sit in that node's outbox until Redis is back. Failing them
    // now would answer a request twice (its reply, then E014); forwardTimedOut waits
    // until the completion can no longer come.
    for (const auto& id : logoutsTo("")) failLogout(id);
}

}  // namespace tessil::cluster
