// TRoomObject: one open room and its member map. Owned by the registry, whose lock guards
// it while registered; the Room_ operations take the room's own lock (any thread).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "iocpengine/MsgTransport.h"
#include "lobby/UserObject.h"

namespace tessil {

// The Room_ operations are meant for a room that is not (or not yet) shared through the
// registry: the registry never calls them and guards registered rooms with its own lock.
class TRoomObject {
  public:
    using TMemberMap = std::unordered_map<std::string, TUserClientRec>;

    TRoomObject(IMsgTransport* Svr, std::string_view MasterId, std::string_view Pass,
                std::string_view gCode, std::string_view Subj);
    ~TRoomObject();
    TRoomObject(const TRoomObject&) = delete;
    TRoomObject& operator=(const TRoomObject&) = delete;

    // The member map always exists here, so this is false.
    bool Room_IsUserListNil();
    int32_t Room_CreateUserList();
    int32_t Room_FindUserInfo(const TClientRec& client);
    int32_t Room_FindUserInfo(std::string_view usrid);
    // 1 when the client is a member afterwards; 0 for a client without address or port.
    int32_t Room_AddUserInfo(const TClientRecPtr& client);
    // Removes the ID (absent or not) and sends the remaining members a USROUT text: 1.
    int32_t Room_DeleteUserInfo(std::string_view usrid);
    // Sends msg unchanged as the body of a data message to every member, when FSvr is set.
    void Room_Broadcast(std::string_view msg);

    // Fields, read and written by the registry under its lock.
    IMsgTransport* FSvr;
    int32_t FRoomNo = 0;
    std::string FGameCode;
    std::string FSubject;
    std::string FPassword;
    int32_t FRoomState = 0;
    int32_t FRoomType = 0;  // 0 OPEN, 1 CLOSE
    int32_t FRoomTerm = 0;  // 0 CONT (handed over when the master leaves), 1 closed with him
    std::string FMasterid;
    TMemberMap FUserList;
    // The room's order: held by whoever changes the member list or queues notices to the
    // members, so every member sees the room's notices in one order. A chat fan-out holds
    // only this once it has found the room, and traffic in other rooms does not wait for
    // it. Taken after the registry's lock, never before it; recursive because leaving a
    // room may close it.
    mutable std::recursive_mutex FOrderGuard;

  private:
    std::mutex FRoomGuard;
};

}  // namespace tessil
