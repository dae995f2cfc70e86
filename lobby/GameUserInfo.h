// TGameUserInfo, the lobby registry of users and rooms with all their operations. Owned by
// the command handler; called from request workers, the disconnect event, the window thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "lobby/NetMesg.h"
#include "lobby/RoomObject.h"
#include "lobby/UserObject.h"

namespace tessil {

// Locking: FSafeGuard (re-entrant) guards the user map, the room map, every room's fields
// and member map, and the strings of every listed client record. A room's member map is
// changed, and notices to its members are queued, under FSafeGuard and the room's order
// lock (FOrderGuard) together; a chat fan-out finds the room through the index and then
// checks the sender and sends under the order lock alone, so rooms fan out in parallel and
// a chat never waits for the registry. Events are queued on the reply path while these are
// held; queuing never blocks. Lock order: FSafeGuard, then a room's order lock, then the
// reply path's lock, then the message server's send lock of a client (the message server
// raises its events with none of its own locks held). The index lock (indexGuard_) is
// taken last and never held while another lock is taken. A room's own Room_ lock is never
// taken together with FSafeGuard.
class TGameUserInfo {
  public:
    using TUserMap = std::unordered_map<std::string, std::shared_ptr<TUserObject>>;
    using TRoomMap = std::unordered_map<std::string, std::shared_ptr<TRoomObject>>;

    TGameUserInfo();
    // Clears all data first.
    ~TGameUserInfo();
    TGameUserInfo(const TGameUserInfo&) = delete;
    TGameUserInfo& operator=(const TGameUserInfo&) = delete;

    // The reply path used for every event and for the closes; empty: nothing is sent.
    void SetNetMesg(std::shared_ptr<TNetMesg> netMesg);
    std::shared_ptr<TNetMesg> NetMesg() const;
    // The message server handed to new rooms (for their Room_Broadcast).
    void SetNetSvr(IMsgTransport* svr);
    // Room numbers are taken from [first, last] (by default every nine-digit number that
    // begins with 1); a cluster node owns one block of them.
    void SetRoomNumberRange(int32_t first, int32_t last);

    // ---- Users ----
    int32_t UserCount() const;
    int32_t RoomCount() const;
    // False when a user with the record's ID is listed already.
    bool AddUser(const std::shared_ptr<TUserObject>& usr);
    // Under the lock: refuses a listed ID or a connection that has left the message
    // server, otherwise creates the user object over the client record (writing its
    // identity) and lists it.
    bool AddNewUser(const TClientRecPtr& client, std::string_view usrid, std::string_view pass,
                    std::string_view tagId, std::string_view gcode, std::string_view name,
                    std::string_view nick, std::string_view info);
    bool IsExistsUser(std::string_view usrid) const;
    std::shared_ptr<TUserObject> GetUser(std::string_view usrid) const;
    // The user listed with this very connection, or null.
    std::shared_ptr<TUserObject> GetUserByClient(const TClientRec* client) const;
    // True when the client's own user ID is listed with this very connection.
    bool IsListedClient(const TClientRecPtr& client) const;
    enum class TLogoutResult { NotListed, Refused, Done };
    // Logs usrid out for a requester: only when the user logged in on the requesting
    // connection, or, when comparePassword is set, pass equals the password the user logged
    // in with (compared in constant time).
    TLogoutResult LogoutChecked(std::string_view usrid, const TClientRec* requester,
                                std::string_view pass, bool comparePassword = true);
    // Takes the user out of its room (with the room's events) and unlists it.
    bool LogoutUser(std::string_view usrid);
    // As LogoutUser for the client's own user, only when that user entry belongs to this
    // connection (the disconnect path).
    bool LogoutClient(const TClientRecPtr& client);
    std::string FindUserID(std::string_view usrid) const;
    std::string GetAllUserList() const;
    // Unlists every room and user and asks every user's connection to close (scheduled,
    // the caller does not wait).
    void ClearAllData();

    // ---- Rooms ----
    bool MakeRoom(std::string_view subj, std::string_view pass, std::string_view rtype,
                  std::string_view rterm, std::string_view gcode, const TClientRecPtr& nInfo);
    std::shared_ptr<TRoomObject> NewRoom(IMsgTransport* svr, std::string_view usrid,
                                         std::string_view subj, std::string_view pass,
                                         std::string_view gcode);
    bool DeleteRoom(std::string_view usrid);
    // A room taken over as it stood elsewhere (a cluster node that died): registered with
    // its number and fields, its members (users listed here and in no room) seated with
    // their game states, keyed by its master. False, with nothing changed, when the number
    // or the master's key is taken, the master is not among the members, or a member is
    // not listed or sits in a room. No notice goes out.
    struct TRoomImage {
        int32_t number = 0;
        std::string master, subject, password, gameCode;
        int32_t type = 0, term = 0, state = 0;
        std::vector<std::pair<TClientRecPtr, int32_t>> members;  // record, game state
    };
    bool AdoptRoom(const TRoomImage& image);
    std::string GetRoomList(int32_t roomNo);
    int32_t Check_RoomCount() const;
    std::shared_ptr<TRoomObject> FindRoom(int32_t roomNo) const;

    // ---- Entry and exit ----
    std::shared_ptr<TRoomObject> SearchPlayerRoom(std::string_view usrid) const;
    bool IsValidEnter(const TRoomObject& room) const;
    int32_t AddUserToRoom(TRoomObject& room, const TClientRecPtr& client);
    // welcome, when given, is queued to the entrant with his seat, under the room's order
    // lock: no notice to the room reaches him before it.
    bool EnterRoom(int32_t roomNo, std::string_view password, std::string_view gcode,
                   const TClientRecPtr& nInfo, std::string_view welcome = {});
    bool EnterRoom(std::string_view masId, const std::shared_ptr<TUserObject>& usr);
    // The client's user leaves its room. Unless iNo is 0 and pass and gcode are empty,
    // the room must match all three. Acts only on a membership of this connection.
    bool ExitRoom(const TClientRecPtr& client, int32_t iNo, std::string_view pass,
                  std::string_view gcode);

    // ---- Broadcasts and game state ----
    bool BroadcastMsgToRoom(std::string_view cmd, int32_t roomNo, std::string_view msg,
                            const TClientRecPtr& nInfo);
    bool BroadcastStatMsgToRoom(std::string_view cmd, std::string_view msg,
                                const TClientRecPtr& nInfo, int32_t mode);
    bool ResetRoom(std::string_view cmd, std::string_view msg, const TClientRecPtr& nInfo);
    bool CheckEndGame(std::string_view cmd, std::string_view msg, const TClientRecPtr& nInfo);
    bool SendMesgToUser(std::string_view cmd, std::string_view usrid, std::string_view msg,
                        const TClientRecPtr& nInfo);
    bool ChangeRoomStat(const TClientRecPtr& client, int32_t statMode);

    // Holds the registry lock for the caller, so that a change of a member's game state
    // and the notice that counts the ready members form one step.
    std::unique_lock<std::recursive_mutex> Guard() const {
        return std::unique_lock<std::recursive_mutex>(FSafeGuard);
    }

    // Runs fn with the lock held (tests check invariants across the maps).
    template <typename Fn>
    void WithLock(Fn&& fn) const {
        std::lock_guard<std::recursive_mutex> lock(FSafeGuard);
        fn(FTessil_UserList, FTessil_RoomList);
    }
    // Empty when the indexes match the maps; otherwise what differs (tests).
    std::string IndexMismatch() const;

  private:
    // Exit of usrid; owner, when set, must be the member's record.
    bool exitRoomLocked(std::string_view usrid, const TClientRec* owner, int32_t iNo,
                        std::string_view pass, std::string_view gcode);
    bool logoutLocked(std::string_view usrid, const TClientRec* owner);
    // The room whose member map lists usrid (with this record, when owner is set).
    std::shared_ptr<TRoomObject> searchLocked(std::string_view usrid,
                                              const TClientRec* owner) const;
    // The room of a caller of the room-state operations, when it passes the common checks.
    std::shared_ptr<TRoomObject> callerRoomLocked(const TClientRecPtr& nInfo,
                                                  std::string_view msg) const;
    std::shared_ptr<TRoomObject> findRoomLocked(int32_t roomNo) const;
    int32_t freeRoomNumberLocked() const;
    // Index upkeep; every change of a registered room's members or of the maps goes
    // through these.
    void listRoomLocked(const std::shared_ptr<TRoomObject>& room);
    void unlistRoomLocked(const TRoomObject& room);
    // Adds the member (false when the ID is a member already).
    bool seatLocked(TRoomObject& room, const std::string& usrid, const TClientRecPtr& client);
    void unseatLocked(TRoomObject& room, TRoomObject::TMemberMap::iterator member);
    void unseatAllLocked(TRoomObject& room);
    // Index upkeep of one connection (FSafeGuard held): its room, or none.
    void indexSeatLocked(const TClientRec* client, const std::shared_ptr<TRoomObject>& room);
    void unindexSeatLocked(const TClientRec* client, const TRoomObject& room);
    void indexUserLocked(const TClientRec* client, const std::shared_ptr<TUserObject>& usr);
    void sendLocked(std::string_view text, const TClientRecPtr& client) const;
    // A chat's fan-out to the sender's room as the index has it: false, and nothing sent,
    // when the sender is not a member there (the frame is taken only when it is sent).
    bool fanOutFromSeat(const TClientRecPtr& nInfo, std::shared_ptr<const std::string>& frame);
    // Under the room's order lock: whether the connection is one of its members, and the
    // frame queued to every member but the sender.
    static bool isMemberLocked(const TRoomObject& room, const TClientRecPtr& client);
    static void fanOutLocked(const TRoomObject& room, const TNetMesg* net,
                             std::shared_ptr<const std::string> frame,
                             const TClientRecPtr& sender);

    mutable std::recursive_mutex FSafeGuard;
    TUserMap FTessil_UserList;
    TRoomMap FTessil_RoomList;
    std::unordered_map<int32_t, std::shared_ptr<TRoomObject>> roomsByNo_;
    // The room of each seated member by user ID; normally one entry per ID, but an old
    // connection's membership may still be ending while the ID sits elsewhere.
    std::unordered_multimap<std::string, TRoomObject*> seats_;
    // The index: the user of each listed connection and the registered room of each seated
    // one, read under indexGuard_ alone (the login gate of every request, a chat), changed
    // under FSafeGuard and indexGuard_ together.
    mutable std::shared_mutex indexGuard_;
    std::unordered_map<const TClientRec*, std::shared_ptr<TUserObject>> usersByClient_;
    std::unordered_map<const TClientRec*, std::shared_ptr<TRoomObject>> roomOfClient_;
    int32_t roomFirst_ = 100000000;
    int32_t roomLast_ = 199999999;
    IMsgTransport* FNetSvr = nullptr;

    mutable std::mutex netGuard_;
    std::shared_ptr<TNetMesg> netMesg_;
};

}  // namespace tessil
