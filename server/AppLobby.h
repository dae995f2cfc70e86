// What the application's window logic needs from request handling and the lobby: the
// command handler object, the reply path and the request intake behind one interface,
// so that TMainForm can be driven by the panel, the headless mode and tests alike.
// Owned by TMainForm through a shared_ptr; the connection events call it on engine workers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "iocpengine/ClientRec.h"
#include "server/FormView.h"

namespace tessil {

class TCommonMsgServer;

class IAppLobby {
  public:
    virtual ~IAppLobby() = default;

    // Control thread. Creates the reply path for a new message server and hands both to the
    // command handler (START, HALT). The returned handle owns the reply path: releasing it
    // detaches the reply path from the server, so the caller releases it before freeing the
    // server, even when the lobby itself is already gone.
    virtual std::shared_ptr<void> AttachServer(TCommonMsgServer* server) = 0;
    // Control thread. Takes the reply path and the server away from the command handler;
    // called after the server is switched off and before it is freed.
    virtual void DetachServer() = 0;

    // Engine workers. The request handler for one data message.
    virtual void DataReceived(const TClientRecPtr& client, std::string_view body) = 0;
    // Engine workers. The clean-up after a connection closed: the client leaves its room
    // and is logged out.
    virtual void ClientDisconnected(const TClientRecPtr& client) = 0;
    // Engine workers. Queues the AUTHOK data message to a client that shook hands.
    virtual void SendAuthOk(const TClientRecPtr& client) = 0;

    // Any thread. The counts shown by the window and the metrics.
    virtual int32_t ClientConnections() = 0;
    virtual int32_t RoomCount() = 0;
    virtual int32_t UserCount() = 0;
    virtual int64_t ProcessCount() = 0;

    // Any thread. The logged-in users [{"id","gcode","room","state","address","since"}]
    // and the open rooms [{"number","master","subject","type","state","members":[…]}].
    virtual std::string UsersJson() { return "[]"; }
    virtual std::string RoomsJson() { return "[]"; }
    // Control thread. Logs the user out of the lobby (leaving its room, as a forced logout
    // does) and closes its connection; false when the ID is not logged in.
    virtual bool Kick(const std::string&) { return false; }
    // Any thread. What cluster mode adds; the embedded lobby has nothing to add.
    virtual TClusterFigures ClusterFigures() { return {}; }
};

// The production binding over the command handler object, the reply path and the request
// intake; `configFile` is the settings file read by the account store.
std::shared_ptr<IAppLobby> MakeAppLobby(const std::string& configFile);

}  // namespace tessil
