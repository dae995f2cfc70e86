// The node's membership of the cluster in Redis (see ClusterNode.h). Handlers and the
// liveness tick run on the cluster executor; the key updates queue commands from any thread.
#include "cluster/ClusterNode.h"

#include <future>
#include <memory>

#include "platform/AppLog.h"
#include "platform/Settings.h"

namespace tessil::cluster {

namespace {

using Clock = std::chrono::steady_clock;

const std::string kPrefix = "tessil:";
const std::string kNodes = kPrefix + "nodes";

// The only scripts: each claims or releases one key, so a claim and its check are one
// atomic step. No lobby rule lives in Redis.
const char* kClaimScript =
    "local v = redis.call('get', KEYS[1]) "
    "if v == false or v == ARGV[1] then "
    "  if ARGV[2] then redis.call('set', KEYS[1], ARGV[1], 'PX', ARGV[2]) "
    "  else redis.call('set', KEYS[1], ARGV[1]) end "
    "  return 1 end "
    "return 0";
const char* kReleaseScript =
    "if redis.call('get', KEYS[1]) == ARGV[1] then return redis.call('del', KEYS[1]) end "
    "return 0";

// A survivor's claim on a dead node's rooms: the first claim wins; the winner takes each
// number block of the dead node's room images that is free or still names the dead node.
// KEYS: adoption mark, images hash. ARGV: this node, the dead node, the mark's lifetime, the
// block lifetime.
const char* kAdoptScript =
    "local w = redis.call('get', KEYS[1]) "
    "local images = redis.call('hgetall', KEYS[2]) "
    "if w == false then "
    "  w = ARGV[1] "
    "  redis.call('set', KEYS[1], w, 'PX', ARGV[3]) "
    "  for i = 1, #images, 2 do "
    "    local n = tonumber(images[i]) "
    "    if n then "
    "      local b = 'tessil:block:' .. math.floor((n - 100000000) / 1000000) "
    "      local h = redis.call('get', b) "
    "      if h == false or h == ARGV[2] then redis.call('set', b, w, 'PX', ARGV[4]) end "
    "    end "
    "  end "
    "end "
    "return {w, images}";

std::string UidKey(const std::string& id) {
    return kPrefix + "uid:" + id;
}
std::string AliveKey(const std::string& node) {
    return kPrefix + "alive:" + node;
}
std::string DeadKey(const std::string& node) {
    return kPrefix + "dead:" + node;
}
std::string BlockKey(int block) {
    return kPrefix + "block:" + std::to_string(block);
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

std::string EncodePresence(const PresenceItem& p) {
    const std::string room = std::to_string(p.roomNo), stat = std::to_string(p.gameStat);
    return EncodeWire(WireKind::State, {p.nick, p.gcode, room, stat});
}

std::optional<PresenceItem> DecodePresence(const std::string& id, const std::string& text) {
    auto m = DecodeWire(text);
    if (!m || m->fields.size() != 4) return std::nullopt;
    PresenceItem p;
    p.userid = id;
    p.nick = m->fields[0];
    p.gcode = m->fields[1];
    try {
        p.roomNo = std::stoi(m->fields[2]);
        p.gameStat = std::stoi(m->fields[3]);
    } catch (...) {
        return std::nullopt;
    }
    return p;
}

}  // namespace

ClusterNode::ClusterNode(ClusterConfig config, Scheduler& executor)
    : config_(std::move(config)),
      executor_(executor),
      link_(config_.redis, executor,
            static_cast<size_t>(
                settings::Int("Limits", "ClusterRedisBacklog", 100000, 100, 100000000))),
      outboxLimit_(
          static_cast<size_t>(settings::Int("Limits", "ClusterOutbox", 100000, 0, 100000000))),
      outboxMaxAgeMs_(settings::Int("Cluster", "OutboxMaxAgeMs", 60000, 100, 86400000)) {}

ClusterNode::~ClusterNode() {
    Stop();
}

void ClusterNode::Start() {
    link_.SetStateHandler([this](bool up) { onLinkState(up); });
    link_.SetMessageHandler([this](const std::string&, std::string message) {
        auto m = DecodeWire(message);
        if (!m || m->fields.empty()) {
            filelog::Write("Cluster", "malformed message from another node dropped");
            return;
        }
        if (onMessage) onMessage(std::move(*m));
    });
    link_.Start({kPrefix + "node:" + config_.node});
    std::lock_guard lock(tickMu_);
    tickTask_ = executor_.ScheduleAfter(config_.tick.count(), [this] { tick(); });
}

void ClusterNode::Stop() {
    Scheduler::TaskId tick = 0;
    {
        std::lock_guard lock(tickMu_);
        if (stopping_.exchange(true)) return;
        tick = tickTask_;
    }
    executor_.Cancel(tick);  // a tick running now sees stopping_ and does not come back
    // A clean exit drops the liveness key at once, so the others notice within one check
    // (instead of the time-out) and clean up after this node as after any death: its IDs
    // are released and its users leave their rooms by the lobby's rules. The wait is short
    // and runs on the thread that closes the process, never on a worker.
    if (link_.Up() && joined_) {
        auto sent = std::make_shared<std::promise<void>>();
        link_.Command({"DEL", AliveKey(config_.node)},
                      [sent](const RedisReply&) { sent->set_value(); });
        sent->get_future().wait_for(std::chrono::milliseconds(500));
    }
    link_.Stop();
}

bool ClusterNode::AdmitsLogins() const {
    return joined_ && NowMs() - joinedAtMs_.load() >= config_.aliveTtl.count();
}

std::pair<int32_t, int32_t> ClusterNode::RoomRange() const {
    const int b = block_.load();
    if (b < 0) return {0, 0};
    const int32_t first = kRoomBlockBase + b * kRoomBlockSize;
    return {first, first + kRoomBlockSize - 1};
}

int ClusterNode::RoomBlockOf(int32_t roomNo) {
    if (roomNo < kRoomBlockBase || roomNo >= kRoomBlockBase + kRoomBlocks * kRoomBlockSize)
        return -1;
    return (roomNo - kRoomBlockBase) / kRoomBlockSize;
}

std::string ClusterNode::usersKey(const std::string& node) const {
    return kPrefix + "users:" + node;
}
std::string ClusterNode::roomsKey(const std::string& node) const {
    return kPrefix + "rooms:" + node;
}
std::string ClusterNode::imagesKey(const std::string& node) const {
    return kPrefix + "images:" + node;
}

// ---- liveness ----------------------------------------------------------------------------

void ClusterNode::onLinkState(bool up) {
    if (up) {
        filelog::Write("Cluster", "Redis connected; node " + config_.node + " joining");
        if (!joining_ && !joined_ && link_.Subscribed()) join();
        return;
    }
    joined_ = false;
    joining_ = false;
    windowlog::Add("Cluster: Redis connection lost; cluster commands are refused");
    if (onLost) onLost();
}

void ClusterNode::tick() {
    if (stopping_) return;
    if (joined_ && !link_.Subscribed()) {
        // Messages to this node would be lost: out until the subscription is back.
        joined_ = false;
        windowlog::Add("Cluster: subscription lost; cluster commands are refused");
    }
    if (link_.Up()) {
        // A node joins only once other nodes' messages reach it.
        if (!joined_ && !joining_ && link_.Subscribed())
            join();
        else if (joined_) {
            refresh();
            checkDeaths();
        }
    }
    flushOutbox();
    std::lock_guard lock(tickMu_);
    if (!stopping_) tickTask_ = executor_.ScheduleAfter(config_.tick.count(), [this] { tick(); });
}

void ClusterNode::join() {
    joining_ = true;
    // Room images of an earlier life are stale; the lobby publishes its rooms again once
    // joined.
    link_.Command({"DEL", imagesKey(config_.node)});
    // A survivor that cleaned this node up left a mark: then this node's memberships in
    // other nodes' rooms, and theirs in its rooms, are over. Without the mark (Redis
    // restarted, or the outage was short) they stand.
    link_.Command({"GET", DeadKey(config_.node)}, [this](const RedisReply& r) {
        if (!r.up) {
            joining_ = false;
            return;
        }
        presumedDead_ = !r.nil;
        if (presumedDead_) link_.Command({"DEL", DeadKey(config_.node)});
        const int keep = block_.load();
        claimBlock(keep >= 0 ? keep : 0, 0);
    });
}

void ClusterNode::claimBlock(int block, int tried) {
    if (tried >= kRoomBlocks) {
        filelog::Write("Cluster", "no free room-number block; node stays out of the cluster");
        joining_ = false;
        return;
    }
    link_.Command({"EVAL", kClaimScript, "1", BlockKey(block), config_.node,
                   std::to_string(config_.aliveTtl.count())},
                  [this, block, tried](const RedisReply& r) {
                      if (!r.up) {
                          joining_ = false;
                          return;
                      }
                      if (r.error || r.integer != 1) {
                          const int prev = block_.load();
                          if (prev >= 0 && prev == block)
                              filelog::Write("Cluster", "room-number block " +
                                                            std::to_string(block) +
                                                            " was taken by another node");
                          claimBlock((block + 1) % kRoomBlocks, tried + 1);
                          return;
                      }
                      block_ = block;
                      refresh();
                      joined_ = true;
                      joining_ = false;
                      joinedAtMs_ = NowMs();
                      windowlog::Add("Cluster: node " + config_.node + " joined (room block " +
                                     std::to_string(block) + ")");
                      if (presumedDead_) {
                          // The others ended this node's memberships: what it meant to
                          // tell them is moot.
                          std::vector<std::string> nodes;
                          {
                              std::lock_guard lock(outMu_);
                              for (const auto& [n, box] : outbox_) nodes.push_back(n);
                          }
                          for (const auto& n : nodes)
                              dropOutbox(n, "this node was declared dead meanwhile");
                      }
                      if (onJoined) onJoined(presumedDead_);
                      flushOutbox();
                  });
}

void ClusterNode::refresh() {
    const std::string ttl = std::to_string(config_.aliveTtl.count());
    const int current = block_.load();
    link_.Command({"SET", AliveKey(config_.node), std::to_string(current), "PX", ttl}, {});
    std::set<int> blocks{current};
    if (liveBlocks) {
        for (int b : liveBlocks())
            if (b >= 0) blocks.insert(b);
    }
    for (int b : blocks) {
        link_.Command({"EVAL", kClaimScript, "1", BlockKey(b), config_.node, ttl},
                      [this, b, current](const RedisReply& r) {
                          if (!r.up || r.error || r.integer == 1) return;
                          filelog::Write("Cluster", "room-number block " + std::to_string(b) +
                                                        " is held by another node");
                          // New rooms need a block of their own again: none until this
                          // node has rejoined with one. Marked before the block's rooms
                          // close, so that a member who sees his room close finds the node
                          // already refusing what needs the cluster until then.
                          int held = current;
                          if (b == current && block_.compare_exchange_strong(held, -1))
                              joined_ = false;
                          if (onBlockLost) onBlockLost(b);
                      });
    }
    link_.Command({"SADD", kNodes, config_.node});
}

void ClusterNode::checkDeaths() {
    if (!AdmitsLogins()) return;
    link_.Command({"SMEMBERS", kNodes}, [this](const RedisReply& r) {
        if (!r.up || r.error) return;
        std::set<std::string> nodes;
        for (const auto& e : r.elements) nodes.insert(e.str);
        if (peersOfInterest) {
            for (auto& n : peersOfInterest()) nodes.insert(n);
        }
        nodes.erase(config_.node);
        for (const auto& n : nodes) {
            link_.Command({"EXISTS", AliveKey(n)}, [this, n](const RedisReply& e) {
                if (!e.up || e.error) return;
                std::lock_guard lock(aliveMu_);
                if (e.integer == 1) {
                    alive_.insert(n);
                    cleaning_.erase(n);
                    return;
                }
                alive_.erase(n);
                if (!cleaning_.insert(n).second) return;
                windowlog::Add("Cluster: node " + n + " is gone; cleaning up after it");
                filelog::Write("Cluster", "node " + n + " missed its liveness key");
                cleanUp(n);
            });
        }
    });
}

void ClusterNode::cleanUp(const std::string& dead) {
    // Idempotent: several survivors may run it at once; an ID is released only while it
    // still names the dead node. The lobby hears of the death once the keys are clean, so
    // the notices it sends can be followed at once by a login of a freed ID.
    link_.Command({"HKEYS", usersKey(dead)}, [this, dead](const RedisReply& r) {
        if (!r.up || r.error) {
            std::lock_guard lock(aliveMu_);
            cleaning_.erase(dead);  // tried again at the next check
            return;
        }
        for (const auto& id : r.elements)
            link_.Command({"EVAL", kReleaseScript, "1", UidKey(id.str), dead});
        link_.Command({"DEL", usersKey(dead), roomsKey(dead)});
        // The room images stay a while for the survivor that takes the rooms over.
        link_.Command({"PEXPIRE", imagesKey(dead), "60000"});
        link_.Command({"SET", DeadKey(dead), "1", "PX", "3600000"});
        link_.Command({"SREM", kNodes, dead}, [this, dead](const RedisReply&) {
            dropOutbox(dead, "the node is dead");
            if (onNodeDead) onNodeDead(dead);
        });
    });
}

bool ClusterNode::IsAlive(const std::string& node) const {
    if (node == config_.node) return true;
    std::lock_guard lock(aliveMu_);
    return alive_.count(node) != 0;
}

// ---- presence and directory --------------------------------------------------------------

void ClusterNode::ClaimUser(const std::string& id, std::function<void(Claim)> done) {
    link_.Command({"EVAL", kClaimScript, "1", UidKey(id), config_.node},
                  [done = std::move(done)](const RedisReply& r) {
                      if (!r.up || r.error)
                          done(Claim::Down);
                      else
                          done(r.integer == 1 ? Claim::Claimed : Claim::Taken);
                  });
}

void ClusterNode::ReleaseUser(const std::string& id) {
    link_.Command({"EVAL", kReleaseScript, "1", UidKey(id), config_.node});
}

void ClusterNode::PutUser(const PresenceItem& item, std::function<void()> done) {
    RedisLink::Callback cb;
    if (done) cb = [done = std::move(done)](const RedisReply&) { done(); };
    link_.Command({"HSET", usersKey(config_.node), item.userid, EncodePresence(item)},
                  std::move(cb));
}

void ClusterNode::DropUser(const std::string& id) {
    link_.Command({"HDEL", usersKey(config_.node), id});
}

void ClusterNode::PutRoom(int32_t roomNo, const std::string& item) {
    link_.Command({"HSET", roomsKey(config_.node), std::to_string(roomNo), item});
}

void ClusterNode::DropRoom(int32_t roomNo) {
    link_.Command({"HDEL", roomsKey(config_.node), std::to_string(roomNo)});
}

void ClusterNode::gather(std::function<std::vector<Argv>(const std::string& node)> commands,
                         std::function<void(std::optional<std::vector<NodeReply>>)> done) {
    link_.Command({"SMEMBERS", kNodes}, [this, commands = std::move(commands),
                                         done = std::move(done)](const RedisReply& r) {
        if (!r.up || r.error) return done(std::nullopt);
        struct Gather {
            size_t waiting = 0;
            bool failed = false;
            std::vector<NodeReply> replies;
            std::function<void(std::optional<std::vector<NodeReply>>)> done;
        };
        auto g = std::make_shared<Gather>();
        g->done = done;
        std::set<std::string> nodes{config_.node};
        for (const auto& e : r.elements) nodes.insert(e.str);
        std::vector<std::pair<std::string, Argv>> all;
        for (const auto& n : nodes) {
            for (auto& argv : commands(n)) all.emplace_back(n, std::move(argv));
        }
        g->waiting = all.size();
        g->replies.resize(all.size());
        if (all.empty()) return done(std::move(g->replies));
        for (size_t i = 0; i < all.size(); ++i) {
            g->replies[i].node = all[i].first;
            link_.Command(std::move(all[i].second), [g, i](const RedisReply& h) {
                if (!h.up || h.error) g->failed = true;
                g->replies[i].reply = h;
                if (--g->waiting > 0) return;
                if (g->failed)
                    g->done(std::nullopt);
                else
                    g->done(std::move(g->replies));
            });
        }
    });
}

void ClusterNode::PutRoomImage(int32_t roomNo, const std::string& image) {
    link_.Command({"HSET", imagesKey(config_.node), std::to_string(roomNo), image});
}

void ClusterNode::DropRoomImage(int32_t roomNo) {
    link_.Command({"HDEL", imagesKey(config_.node), std::to_string(roomNo)});
}

void ClusterNode::AdoptRooms(const std::string& dead,
                             std::function<void(std::optional<Adoption>)> done) {
    link_.Command({"EVAL", kAdoptScript, "2", kPrefix + "adopt:" + dead, imagesKey(dead),
                   config_.node, dead, "60000", std::to_string(config_.aliveTtl.count())},
                  [done = std::move(done)](const RedisReply& r) {
                      if (!r.up || r.error || r.elements.size() != 2) return done(std::nullopt);
                      Adoption a;
                      a.winner = r.elements[0].str;
                      const auto& images = r.elements[1].elements;
                      for (size_t i = 0; i + 1 < images.size(); i += 2)
                          a.images.emplace_back(WireInt(images[i].str, 0), images[i + 1].str);
                      done(std::move(a));
                  });
}

void ClusterNode::ListUsers(std::function<void(std::optional<std::vector<PresenceItem>>)> done) {
    gather(
        [this](const std::string& n) {
            return std::vector<Argv>{{"HGETALL", usersKey(n)}};
        },
        [done = std::move(done)](std::optional<std::vector<NodeReply>> replies) {
            if (!replies) return done(std::nullopt);
            std::vector<PresenceItem> items;
            for (const auto& [node, h] : *replies) {
                for (size_t i = 0; i + 1 < h.elements.size(); i += 2) {
                    if (auto p = DecodePresence(h.elements[i].str, h.elements[i + 1].str)) {
                        p->node = node;
                        items.push_back(std::move(*p));
                    }
                }
            }
            done(std::move(items));
        });
}

void ClusterNode::FindUser(const std::string& id, std::function<void(std::optional<Found>)> done) {
    link_.Command({"GET", UidKey(id)}, [this, id, done = std::move(done)](const RedisReply& r) {
        if (!r.up || r.error) return done(std::nullopt);
        if (r.nil) return done(Found{});
        const std::string node = r.str;
        link_.Command({"HGET", usersKey(node), id}, [id, node, done](const RedisReply& h) {
            if (!h.up || h.error) return done(std::nullopt);
            Found f;
            if (!h.nil) {
                if (auto p = DecodePresence(id, h.str)) {
                    f.found = true;
                    f.node = node;
                    f.item = std::move(*p);
                }
            }
            done(f);
        });
    });
}

void ClusterNode::ListRooms(int32_t roomNo, std::function<void(std::optional<std::string>)> done) {
    if (roomNo != -1) {
        NodeOfRoom(roomNo, [this, roomNo, done](std::optional<std::string> node) {
            if (!node) return done(std::nullopt);
            if (node->empty()) return done(std::string());
            link_.Command({"HGET", roomsKey(*node), std::to_string(roomNo)},
                          [done](const RedisReply& h) {
                              if (!h.up || h.error) return done(std::nullopt);
                              done(h.nil ? std::string() : h.str);
                          });
        });
        return;
    }
    RoomsByNode([done = std::move(done)](std::optional<std::vector<NodeRooms>> rooms) {
        if (!rooms) return done(std::nullopt);
        std::string list;
        for (const auto& n : *rooms) {
            for (const auto& item : n.items) {
                if (!list.empty()) list += ',';
                list += item;
            }
        }
        done(std::move(list));
    });
}

void ClusterNode::RoomsByNode(std::function<void(std::optional<std::vector<NodeRooms>>)> done) {
    gather(
        [this](const std::string& n) {
            return std::vector<Argv>{{"HVALS", roomsKey(n)}};
        },
        [done = std::move(done)](std::optional<std::vector<NodeReply>> replies) {
            if (!replies) return done(std::nullopt);
            std::vector<NodeRooms> out;
            for (auto& [node, h] : *replies) {
                NodeRooms n{node, {}};
                for (auto& item : h.elements) n.items.push_back(std::move(item.str));
                out.push_back(std::move(n));
            }
            done(std::move(out));
        });
}

void ClusterNode::Counts(std::function<void(int64_t, int64_t)> done) {
    gather(
        [this](const std::string& n) {
            return std::vector<Argv>{{"HLEN", usersKey(n)}, {"HLEN", roomsKey(n)}};
        },
        [done = std::move(done)](std::optional<std::vector<NodeReply>> replies) {
            if (!replies) return done(-1, -1);
            int64_t counts[2] = {0, 0};
            for (size_t i = 0; i < replies->size(); ++i)
                counts[i % 2] += (*replies)[i].reply.integer;
            done(counts[0], counts[1]);
        });
}

void ClusterNode::NodeOfRoom(int32_t roomNo, std::function<void(std::optional<std::string>)> done) {
    const int block = RoomBlockOf(roomNo);
    if (block < 0) {
        done(std::string());
        return;
    }
    if (block == block_.load() && joined_) {
        done(config_.node);
        return;
    }
    link_.Command({"GET", BlockKey(block)}, [done = std::move(done)](const RedisReply& r) {
        if (!r.up || r.error) return done(std::nullopt);
        done(r.nil ? std::string() : r.str);
    });
}

void ClusterNode::Send(const std::string& node, const std::string& message) {
    auto m = std::make_shared<const std::string>(message);
    uint64_t seq = 0;
    {
        std::lock_guard lock(outMu_);
        seq = ++outSeq_;
        auto box = outbox_.find(node);
        // Behind messages still waiting for the node, or while out of the cluster: wait too.
        if (!joined_ || (box != outbox_.end() && !box->second.waiting.empty())) {
            parkLocked(node, seq, std::move(m));
            return;
        }
    }
    publish(node, seq, std::move(m));
}

void ClusterNode::publish(const std::string& node, uint64_t seq, Message message) {
    link_.Publish({"PUBLISH", kPrefix + "node:" + node, *message},
                  [this, node, seq, message](const RedisReply& r) {
                      // PUBLISH answers how many subscribers received it: none means the node
                      // is not listening (yet, or any more).
                      if (r.up && !r.error && r.integer > 0) return;
                      {
                          std::lock_guard alive(aliveMu_);
                          if (cleaning_.count(node) != 0) return;  // a dead node's
                      }
                      std::lock_guard lock(outMu_);
                      parkLocked(node, seq, message);
                  });
}

void ClusterNode::parkLocked(const std::string& node, uint64_t seq, Message message) {
    if (outboxTotal_ >= outboxLimit_) {
        limits::CountRefusal("cluster_outbox");
        if (outboxDrop_.Begin())
            filelog::Write("Cluster",
                           "messages to other nodes dropped: the outbox is full "
                           "([Limits] ClusterOutbox=" +
                               std::to_string(outboxLimit_) + ")");
        return;
    }
    Outbox& box = outbox_[node];
    if (box.waiting.empty()) box.sinceMs = NowMs();
    if (box.waiting.emplace(seq, std::move(message)).second) ++outboxTotal_;
}

size_t ClusterNode::OutboxSize() const {
    std::lock_guard lock(outMu_);
    return outboxTotal_;
}

void ClusterNode::flushOutbox() {
    std::vector<std::pair<std::string, std::map<uint64_t, Message>>> due;
    std::vector<std::string> stale;
    {
        std::lock_guard lock(outMu_);
        const int64_t now = NowMs();
        for (auto it = outbox_.begin(); it != outbox_.end();) {
            if (it->second.waiting.empty()) {
                it = outbox_.erase(it);
                continue;
            }
            if (now - it->second.sinceMs >= outboxMaxAgeMs_)
                stale.push_back(it->first);
            else if (joined_) {
                outboxTotal_ -= it->second.waiting.size();
                due.emplace_back(it->first, std::move(it->second.waiting));
                it->second.waiting.clear();
            }
            ++it;
        }
    }
    for (const auto& node : stale) dropOutbox(node, "waited longer than [Cluster] OutboxMaxAgeMs");
    for (auto& [node, messages] : due) {
        for (auto& [seq, m] : messages) publish(node, seq, std::move(m));
    }
}

void ClusterNode::dropOutbox(const std::string& node, const std::string& why) {
    size_t dropped = 0;
    {
        std::lock_guard lock(outMu_);
        auto it = outbox_.find(node);
        if (it == outbox_.end()) return;
        dropped = it->second.waiting.size();
        outboxTotal_ -= dropped;
        outbox_.erase(it);
    }
    if (dropped == 0) return;
    limits::CountRefusal("cluster_outbox");
    if (outboxDrop_.Begin())
        filelog::Write("Cluster",
                       std::to_string(dropped) + " messages to node " + node + " dropped: " + why);
}

}  // namespace tessil::cluster
