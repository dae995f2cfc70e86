// The production IAppLobby: binds the window's logic to the account store, the command
// handler object, the reply path and the request intake. Owned by TMainForm; see
// AppLobby.h for which thread calls what.
#include "server/AppLobby.h"

#include "iocpengine/CommonMsgServer.h"
#include "lobby/NetMesg.h"
#include "protocol/ClientProtocol.h"
#include "protocol/TextUtils.h"
#include "server/CmdLineObject.h"
#include "server/DataMod.h"
#include "server/LobbyTables.h"
#include "server/RequestIntake.h"

namespace tessil {

namespace {

class LobbyBinding final : public IAppLobby {
  public:
    explicit LobbyBinding(const std::string& configFile)
        : dataMod_(configFile), cmd_(nullptr, &dataMod_), intake_(cmd_) {}

    std::shared_ptr<void> AttachServer(TCommonMsgServer* server) override {
        // A new server starts with an empty lobby: no connection survives the STOP that
        // freed the previous one, so users it left listed could never log in again (E013)
        // nor be logged out. With no reply path attached yet, clearing sends nothing.
        cmd_.GameInfo().ClearAllData();
        auto netMesg = std::make_shared<TNetMesg>(server);
        cmd_.SetSvrNet(server);
        cmd_.SetNetMesg(netMesg);
        // The handle detaches the reply path even while the lobby still holds it.
        return std::shared_ptr<void>(nullptr, [netMesg](void*) { netMesg->Detach(); });
    }
    void DetachServer() override {
        cmd_.SetNetMesg(nullptr);
        cmd_.SetSvrNet(nullptr);
    }

    void DataReceived(const TClientRecPtr& client, std::string_view body) override {
        intake_.Server_DataReceived(client, body);
    }
    void ClientDisconnected(const TClientRecPtr& client) override {
        cmd_.Tessil_ExitRoom(client);
        cmd_.Tessil_CheckLogout(client);
    }
    void SendAuthOk(const TClientRecPtr& client) override { cmd_.Reply(kAuthOkMsg, client); }

    int32_t ClientConnections() override { return cmd_.Tessil_Check_ClientConnection(); }
    int32_t RoomCount() override { return cmd_.Tessil_Check_RoomCount(); }
    int32_t UserCount() override { return cmd_.GameInfo().UserCount(); }
    int64_t ProcessCount() override { return static_cast<int64_t>(intake_.ProcessCount()); }

    // Appended rather than concatenated: GCC 12 at -O3 flags the concatenation falsely.
    std::string UsersJson() override { return Bracketed(RegistryUserRows(cmd_)); }
    std::string RoomsJson() override { return Bracketed(RegistryRoomRows(cmd_)); }
    bool Kick(const std::string& usrid) override { return KickUser(cmd_, usrid); }

  private:
    static std::string Bracketed(const std::string& rows) {
        std::string out;
        out.reserve(rows.size() + 2);
        out.push_back('[');
        out.append(rows);
        out.push_back(']');
        return out;
    }

    // Destroyed in reverse: the intake, then the command handler (which clears the lobby),
    // then the account store it reads.
    TDataMod dataMod_;
    TCmdLineObject cmd_;
    RequestIntake intake_;
};

}  // namespace

std::shared_ptr<IAppLobby> MakeAppLobby(const std::string& configFile) {
    return std::make_shared<LobbyBinding>(configFile);
}

}  // namespace tessil
