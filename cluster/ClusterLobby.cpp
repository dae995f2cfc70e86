// The cluster lobby's routing: where each request of a client runs (here, on the node of
// its room, or against the cluster directory), one request of a client at a time. Engine
// workers and the cluster executor.
#include <exception>

#include "cluster/ClusterLobbyImpl.h"
#include "iocpengine/CommonMsgServer.h"
#include "platform/AppLog.h"
#include "platform/Settings.h"
#include "protocol/ClientProtocol.h"
#include "protocol/TextUtils.h"
#include "server/LobbyTables.h"

namespace tessil::cluster {

ClusterLobbyImpl::ClusterLobbyImpl(const std::string& configFile, ClusterConfig config)
    : dataMod_(configFile),
      cmd_(nullptr, &dataMod_),
      intake_(cmd_),
      strand_(static_cast<size_t>(settings::Int("Limits", "ClusterQueuedRequests", 64, 1, 100000))),
      forwardTimeoutMs_(settings::Int("Cluster", "ForwardTimeoutMs", 5000, 100, 600000)),
      aliveTtlMs_(config.aliveTtl.count()),
      executor_(std::make_unique<Scheduler>()),
      exec_(*executor_),
      node_(std::move(config), exec_) {
    node_.onJoined = [this](bool presumedDead) { onJoined(presumedDead); };
    node_.onLost = [this] { onLost(); };
    node_.onNodeDead = [this](const std::string& n) { onNodeDead(n); };
    node_.onMessage = [this](WireMessage m) { onMessage(std::move(m)); };
    node_.peersOfInterest = [this] { return peers(); };
    node_.liveBlocks = [this] { return liveBlocks(); };
    node_.onBlockLost = [this](int block) { onBlockLost(block); };
    node_.Start();
    exec_.ScheduleAfter(1000, [this] { countCluster(); });
}

void ClusterLobbyImpl::countCluster() {
    if (node_.Joined()) {
        node_.Counts([this](int64_t users, int64_t rooms) {
            clusterUsers_ = users;
            clusterRooms_ = rooms;
        });
        readOtherNodes();
    }
    exec_.ScheduleAfter(1000, [this] { countCluster(); });
}

void ClusterLobbyImpl::readOtherNodes() {
    node_.ListUsers([this](std::optional<std::vector<PresenceItem>> items) {
        if (!items) return;
        std::string rows;
        std::map<std::string, std::string> nodes;
        for (const auto& u : *items) {
            if (u.node == node_.Name()) continue;
            if (!rows.empty()) rows += ',';
            rows += UserRowJson({u.userid, u.gcode, u.roomNo, u.gameStat, "", "", u.node});
            nodes[u.userid] = u.node;
        }
        std::lock_guard lock(othersMu_);
        otherUsers_ = std::move(rows);
        otherUserNodes_ = std::move(nodes);
    });
    node_.RoomsByNode([this](std::optional<std::vector<ClusterNode::NodeRooms>> byNode) {
        if (!byNode) return;
        std::string rows;
        for (const auto& n : *byNode) {
            if (n.node == node_.Name()) continue;
            for (const auto& item : n.items) {
                // The directory holds each room's ROOMLIST item.
                TJsonObject json;
                std::string master, subject, number;
                int32_t type = 0, state = 0;
                if (!ParseJsonObject(item, json) || !GetJosnValue_Str(&json, "roomNo", number))
                    continue;
                GetJosnValue_Str(&json, "master", master);
                GetJosnValue_Str(&json, "subect", subject);
                GetJosnValue_Int(&json, "rtype", type);
                GetJosnValue_Int(&json, "rstat", state);
                std::vector<std::string> members;
                if (json.HasMember("player") && json["player"].IsArray()) {
                    for (const auto& p : json["player"].GetArray()) {
                        if (p.IsObject() && p.HasMember("userid") && p["userid"].IsString())
                            members.emplace_back(p["userid"].GetString());
                    }
                }
                if (!rows.empty()) rows += ',';
                rows += RoomRowJson(
                    {WireInt(number, 0), master, subject, type, state, &members, n.node});
            }
        }
        std::lock_guard lock(othersMu_);
        otherRooms_ = std::move(rows);
    });
}

std::string ClusterLobbyImpl::UsersJson() {
    std::string rows =
        RegistryUserRows(cmd_, node_.Name(), [this](const TClientRec* c) { return IsStandIn(c); });
    std::lock_guard lock(othersMu_);
    if (!rows.empty() && !otherUsers_.empty()) rows += ',';
    return "[" + rows + otherUsers_ + "]";
}

std::string ClusterLobbyImpl::RoomsJson() {
    std::string rows = RegistryRoomRows(cmd_, node_.Name());
    std::lock_guard lock(othersMu_);
    if (!rows.empty() && !otherRooms_.empty()) rows += ',';
    return "[" + rows + otherRooms_ + "]";
}

bool ClusterLobbyImpl::Kick(const std::string& usrid) {
    if (kickHere(usrid)) return true;
    std::string node;
    {
        std::lock_guard lock(othersMu_);
        auto it = otherUserNodes_.find(usrid);
        if (it != otherUserNodes_.end()) node = it->second;
    }
    if (node.empty() || !node_.Joined()) return false;
    filelog::Write("Cluster", "kick of " + usrid + " passed to node " + node);
    node_.Send(node, EncodeWire(WireKind::Kick, {node_.Name(), usrid}));
    return true;
}

bool ClusterLobbyImpl::kickHere(const std::string& usrid) {
    TClientRecPtr target = localClient(usrid);
    if (!target) return false;
    bool kicked = false;
    withSettle(target, [&] { kicked = KickUser(cmd_, usrid); });
    if (kicked) loggedOut(usrid);
    return kicked;
}

ClusterLobbyImpl::~ClusterLobbyImpl() {
    if (transport_) transport_->DetachStandIns();
    node_.Stop();
    executor_.reset();
}

std::shared_ptr<void> ClusterLobbyImpl::AttachServer(TCommonMsgServer* server) {
    transport_ = std::make_shared<ClusterTransport>(*server, *this);
    auto netMesg = std::make_shared<TNetMesg>(transport_.get());
    cmd_.SetSvrNet(server);
    cmd_.SetNetMesg(netMesg);
    // The handle keeps the transport for the reply path until the server is freed.
    return std::shared_ptr<void>(nullptr,
                                 [netMesg, transport = transport_](void*) { netMesg->Detach(); });
}

void ClusterLobbyImpl::DetachServer() {
    cmd_.SetNetMesg(nullptr);
    cmd_.SetSvrNet(nullptr);
}

void ClusterLobbyImpl::SendAuthOk(const TClientRecPtr& client) {
    cmd_.Reply(kAuthOkMsg, client);
}

int32_t ClusterLobbyImpl::UserCount() {
    return cmd_.GameInfo().UserCount() - static_cast<int32_t>(standInCount_.load());
}

TClusterFigures ClusterLobbyImpl::ClusterFigures() {
    TClusterFigures s;
    s.enabled = true;
    s.node = node_.Name();
    s.connected = node_.Joined();
    s.users = clusterUsers_.load();
    s.rooms = clusterRooms_.load();
    s.standIns = static_cast<int64_t>(standInCount_.load());
    s.outbox = static_cast<int64_t>(node_.OutboxSize());
    std::lock_guard lock(seatMu_);
    s.remoteSeats = static_cast<int64_t>(seats_.size());
    return s;
}

// ---- the strand ----------------------------------------------------------------------------

void ClusterLobbyImpl::DataReceived(const TClientRecPtr& client, std::string_view body) {
    if (!client) return;
    auto item = [this, client, text = std::string(body)] {
        try {
            return handle(client, text);
        } catch (const std::exception& e) {
            filelog::Write("Cluster", e.what());
            return true;
        }
    };
    if (!strand_.Submit(client, std::move(item))) {
        // A client that keeps sending while its requests wait for the cluster is closed.
        limits::CountRefusal("cluster_queued_requests");
        if (queueFull_.Begin())
            filelog::Write("Cluster",
                           "a client passed the limit of queued requests "
                           "([Limits] ClusterQueuedRequests); closing it");
        cmd_.Disconnect(client, 1);
    }
}

void ClusterLobbyImpl::ClientDisconnected(const TClientRecPtr& client) {
    if (!client) return;
    // Queued behind the client's last request so a pending login is settled first; the
    // clean-up itself never waits, so the queue's limit does not apply to it.
    if (!strand_.Submit(client, [this, client] { return disconnected(client); }))
        disconnected(client);
}

ClusterLobbyImpl::Peek ClusterLobbyImpl::peek(std::string requestText) {
    Peek p;
    p.text = std::move(requestText);
    if (!ParseJsonObject(p.text, p.json)) return p;
    if (!GetJosnValue_Str(&p.json, "cmd", p.word)) return p;
    p.parsed = true;
    p.command = CommandType(p.word);
    return p;
}

bool ClusterLobbyImpl::gatePasses(const TClientRecPtr& client) const {
    return client->FLoginState == 1 && cmd_.GameInfo().IsListedClient(client);
}

void ClusterLobbyImpl::refuseUnavailable(const TClientRecPtr& client, std::string_view word) {
    limits::CountRefusal("cluster_unavailable");
    if (unavailable_.Begin())
        filelog::Write("Cluster",
                       "Redis is unreachable: commands that need the cluster are "
                       "refused with E014");
    reply(client, MakeMsgForClient(word, code::E014, text::LoginAddFailed));
}

bool ClusterLobbyImpl::handle(const TClientRecPtr& client, const std::string& body) {
    // Every request is counted and logged here, on arrival, whether this node answers it,
    // forwards it to a room's node or runs it through the intake (which does not count it
    // again); its time is until this node is done with it or has sent it on.
    metrics::RequestTimer timing;
    const Peek p = peek(intake_.NoteRequest(body));
    if (p.parsed) timing.command = p.word;
    if (!p.parsed) {
        runHere(client, p.text);  // the intake answers the syntax error
        return true;
    }
    switch (p.command) {
        case cmdLogin:
            return login(client, p);
        case cmdLogout:
        case cmdLogoutReq:
            return logout(client, p);
        default:
            break;
    }
    if (!gatePasses(client)) {
        runHere(client, p.text);  // the intake's login gate answers
        return true;
    }
    switch (p.command) {
        case cmdUsrList:
            return userList(client, p);
        case cmdFindUser:
            return findUser(client, p);
        case cmdRoomList:
            return roomList(client, p);
        case cmdUsrMsg:
            return userMessage(client, p);
        default:
            break;
    }
    // Everything else concerns the user's room: it runs on the node that owns the room.
    std::string seat;
    {
        std::lock_guard lock(seatMu_);
        auto it = seats_.find(client->FUsrID);
        if (it != seats_.end()) seat = it->second;
    }
    if (!seat.empty()) return forward(client, body, seat, p.word);
    if (p.command == cmdMakeRoom && node_.RoomRange().first == 0) {
        // Between losing its number block and claiming a new one a node has no numbers to
        // give that are sure to be unique.
        refuseUnavailable(client, p.word);
        return true;
    }
    if (p.command == cmdUsrMsgAll || p.command == cmdUsrDef) {
        // Chat changes no state: nothing to publish afterwards.
        intake_.HandleNoted(client, p.text);
        return true;
    }
    int32_t roomNo = 0;
    if (p.command == cmdEnterRoom && client->FRoomNo <= 0 &&
        GetJosnValue_Int(&p.json, "roomNo", roomNo)) {
        const int block = ClusterNode::RoomBlockOf(roomNo);
        const auto [first, last] = node_.RoomRange();
        if (block >= 0 && !(roomNo >= first && roomNo <= last)) {
            if (!node_.Joined()) {
                refuseUnavailable(client, p.word);
                return true;
            }
            auto routed = [this, client, body, text = p.text](std::optional<std::string> owner) {
                if (!owner) {
                    refuseUnavailable(client, "ENTERROOM");
                    finish(client);
                } else if (owner->empty() || *owner == node_.Name()) {
                    // No node owns the number: the lobby here refuses it as it should.
                    runHere(client, text);
                    finish(client);
                } else if (forward(client, body, *owner, "ENTERROOM")) {
                    finish(client);
                }
            };
            node_.NodeOfRoom(roomNo, std::move(routed));
            return false;
        }
    }
    runHere(client, p.text, roomNo);
    return true;
}

void ClusterLobbyImpl::runHere(const TClientRecPtr& client, const std::string& requestText,
                               int32_t extraRoom) {
    withSettle(
        client, [&] { intake_.HandleNoted(client, requestText); }, extraRoom);
}

// ---- login and logout ------------------------------------------------------------------

bool ClusterLobbyImpl::login(const TClientRecPtr& client, const Peek& p) {
    std::string usrid, pass, gcode;
    if (client->FLoginState == 1 || !GetJosnValue_Str(&p.json, "usrid", usrid) ||
        !GetJosnValue_Str(&p.json, "pass", pass) || !GetJosnValue_Str(&p.json, "gcode", gcode)) {
        runHere(client, p.text);  // the intake's own refusals
        return true;
    }
    if (!node_.AdmitsLogins()) {
        refuseUnavailable(client, "LOGIN");
        cmd_.Disconnect(client, 100);
        return true;
    }
    // The ID is claimed in Redis first (atomically: of two nodes racing, one wins), then
    // the login runs here as on a single server.
    node_.ClaimUser(usrid, [this, client, text = p.text, usrid, gcode](ClusterNode::Claim claim) {
        if (claim == ClusterNode::Claim::Claimed && cmd_.Tessil_IsExistsUser(usrid)) {
            runHere(client, text);  // already logged in here: the lobby refuses it
        } else if (claim == ClusterNode::Claim::Claimed) {
            // Listed before the reply goes out, so a list read on any node right after the
            // client's E000 shows the user.
            PresenceItem item;
            item.userid = usrid;
            item.gcode = gcode;
            node_.PutUser(item, [this, client, text, usrid] {
                runHere(client, text);
                if (!cmd_.Tessil_IsExistsUser(usrid)) {
                    node_.ReleaseUser(usrid);
                    if (!cmd_.Tessil_IsExistsUser(usrid)) node_.DropUser(usrid);
                }
                finish(client);
            });
            return;
        } else if (claim == ClusterNode::Claim::Taken) {
            reply(client, MakeMsgForClient("LOGIN", code::E013, text::AlreadyLoggedIn));
            cmd_.Disconnect(client, 100);
        } else {
            refuseUnavailable(client, "LOGIN");
            cmd_.Disconnect(client, 100);
        }
        finish(client);
    });
    return false;
}

bool ClusterLobbyImpl::logout(const TClientRecPtr& client, const Peek& p) {
    std::string named;
    GetJosnValue_Str(&p.json, "usrid", named);
    if (TClientRecPtr target = localClient(named); target || named.empty()) {
        // A user of this node (or a malformed request): the lobby here decides.
        runHere(client, p.text, target ? target->FRoomNo.load() : 0);
        if (target) loggedOut(named);
        return true;
    }
    const auto r = cmd_.Tessil_ReadLogout(client, p.json, p.command == cmdLogoutReq);
    if (!r) return true;
    if (!node_.Joined()) {
        refuseUnavailable(client, "LOGOUT");
        return true;
    }
    // The user's own node decides (its password check and the ID's guessing lock), and
    // the answer, with the connection's own failure count, is given here.
    node_.FindUser(r->usrid, [this, client, usrid = r->usrid,
                              pass = r->pass](std::optional<ClusterNode::Found> f) {
        if (!f) {
            refuseUnavailable(client, "LOGOUT");
        } else if (!f->found || f->node == node_.Name()) {
            cmd_.Tessil_AnswerLogout(client, TGameUserInfo::TLogoutResult::NotListed);
        } else {
            std::string requestId;
            {
                std::lock_guard lock(seatMu_);
                requestId = node_.Name() + "/" + std::to_string(++nextRequest_);
                logouts_[requestId] = PendingLogout{f->node, client};
            }
            node_.Send(f->node,
                       EncodeWire(WireKind::LogoutAsk, {node_.Name(), usrid, pass, requestId}));
            exec_.ScheduleAfter(forwardTimeoutMs_, [this, requestId] { failLogout(requestId); });
            return;
        }
        finish(client);
    });
    return false;
}

TGameUserInfo::TLogoutResult ClusterLobbyImpl::decideLogout(const std::string& usrid,
                                                            const std::string& pass) {
    TClientRecPtr target = localClient(usrid);
    if (!target) return TGameUserInfo::TLogoutResult::NotListed;
    auto verdict = TGameUserInfo::TLogoutResult::Refused;
    withSettle(target, [&] { verdict = cmd_.Tessil_DecideLogout(usrid, nullptr, pass); });
    if (verdict == TGameUserInfo::TLogoutResult::Done) loggedOut(usrid);
    return verdict;
}

void ClusterLobbyImpl::loggedOut(const std::string& usrid) {
    if (cmd_.Tessil_IsExistsUser(usrid)) return;  // logged in again meanwhile
    // The user's seat in another node's room ends with the session.
    std::string seat;
    {
        std::lock_guard lock(seatMu_);
        auto it = seats_.find(usrid);
        if (it != seats_.end()) seat = it->second;
        seats_.erase(usrid);
        pending_.erase(usrid);
    }
    if (!seat.empty()) node_.Send(seat, EncodeWire(WireKind::Logout, {node_.Name(), usrid}));
    node_.ReleaseUser(usrid);
    node_.DropUser(usrid);
    std::lock_guard lock(publishedMu_);
    publishedUsers_.erase(usrid);
}

void ClusterLobbyImpl::onLogoutAsk(const WireMessage& m) {
    if (m.fields.size() != 4) return;
    const auto verdict = decideLogout(m.fields[1], m.fields[2]);
    node_.Send(m.fields[0],
               EncodeWire(WireKind::LogoutVerdict,
                          {node_.Name(), m.fields[3], std::to_string(static_cast<int>(verdict))}));
}

void ClusterLobbyImpl::onLogoutVerdict(const WireMessage& m) {
    if (m.fields.size() != 3) return;
    const int v = WireInt(m.fields[2], -1);
    if (v < 0 || v > static_cast<int>(TGameUserInfo::TLogoutResult::Done)) return;
    PendingLogout p;
    {
        std::lock_guard lock(seatMu_);
        auto it = logouts_.find(m.fields[1]);
        if (it == logouts_.end() || it->second.node != m.fields[0]) return;
        p = std::move(it->second);
        logouts_.erase(it);
    }
    cmd_.Tessil_AnswerLogout(p.client, static_cast<TGameUserInfo::TLogoutResult>(v));
    finish(p.client);
}

void ClusterLobbyImpl::failLogout(const std::string& requestId) {
    PendingLogout p;
    {
        std::lock_guard lock(seatMu_);
        auto it = logouts_.find(requestId);
        if (it == logouts_.end()) return;
        p = std::move(it->second);
        logouts_.erase(it);
    }
    filelog::Write("Cluster", "node " + p.node + " did not answer a forwarded LOGOUT");
    refuseUnavailable(p.client, "LOGOUT");
    finish(p.client);
}

bool ClusterLobbyImpl::disconnected(const TClientRecPtr& client) {
    const std::string usrid = client->FUsrID;
    const bool listed = cmd_.GameInfo().IsListedClient(client);
    withSettle(client, [&] {
        cmd_.Tessil_ExitRoom(client);
        cmd_.Tessil_CheckLogout(client);
    });
    if (listed) loggedOut(usrid);
    return true;
}

// ---- lists and messages ----------------------------------------------------------------

bool ClusterLobbyImpl::userList(const TClientRecPtr& client, const Peek& p) {
    node_.ListUsers([this, client, word = p.word](std::optional<std::vector<PresenceItem>> items) {
        if (!items) {
            refuseUnavailable(client, word);
        } else {
            std::string list;
            for (const auto& item : *items) {
                if (!list.empty()) list += ',';
                AppendUserListItem(list, ListEntry(item));
            }
            replyList(client, MakeArrayMsgForClient(word, code::E000, "[" + list + "]"));
        }
        finish(client);
    });
    return false;
}

bool ClusterLobbyImpl::findUser(const TClientRecPtr& client, const Peek& p) {
    std::string usrid;
    if (!GetJosnValue_Str(&p.json, "usrid", usrid)) {
        runHere(client, p.text);
        return true;
    }
    node_.FindUser(usrid, [this, client, word = p.word](std::optional<ClusterNode::Found> f) {
        if (!f) {
            refuseUnavailable(client, word);
        } else {
            std::string list = "[";
            if (f->found) AppendFindUserItem(list, ListEntry(f->item));
            list += ']';
            reply(client, MakeArrayMsgForClient(word, code::E000, list));
        }
        finish(client);
    });
    return false;
}

bool ClusterLobbyImpl::roomList(const TClientRecPtr& client, const Peek& p) {
    int32_t roomNo = 0;
    if (!GetJosnValue_Int(&p.json, "roomNo", roomNo)) {
        runHere(client, p.text);
        return true;
    }
    node_.ListRooms(roomNo, [this, client, word = p.word](std::optional<std::string> items) {
        if (!items)
            refuseUnavailable(client, word);
        else
            replyList(client, MakeArrayMsgForClient(word, code::E000, "[" + *items + "]"));
        finish(client);
    });
    return false;
}

bool ClusterLobbyImpl::userMessage(const TClientRecPtr& client, const Peek& p) {
    std::string usrid, mesg;
    std::optional<TUserMessage> m;
    if (GetJosnValue_Str(&p.json, "usrid", usrid) && GetJosnValue_Str(&p.json, "mesg", mesg))
        m = ReadUserMessage(usrid, mesg);
    if (!m || cmd_.Tessil_IsExistsUser(m->to)) {
        // Format errors, empty parts and users of this node: as on one server.
        runHere(client, p.text);
        return true;
    }
    const std::string to = m->to, text = m->text;
    if (!node_.Joined()) {
        refuseUnavailable(client, p.word);
        return true;
    }
    // The addressee sits on another node: its node hands the message to its connection.
    node_.FindUser(
        to, [this, client, to, word = p.word, text](std::optional<ClusterNode::Found> f) {
            if (!f) {
                refuseUnavailable(client, word);
            } else if (!f->found || f->node == node_.Name()) {
                reply(client, MakeMsgForClient(word, code::E020, text::MsgNotSent));
            } else {
                const std::string frame =
                    *TNetMesg::MakeFrame(MakeMsgForClient(word, code::E000, text));
                node_.Send(f->node, EncodeWire(WireKind::Deliver, {node_.Name(), to, frame}));
                reply(client, MakeMsgForClient(word, code::E000, text::MsgSent));
            }
            finish(client);
        });
    return false;
}

std::shared_ptr<IAppLobby> MakeClusterLobby(const std::string& configFile, ClusterConfig config) {
    return std::make_shared<ClusterLobbyImpl>(configFile, std::move(config));
}

}  // namespace tessil::cluster
