// Fuzz target: request intake from the data-message body to the replies. The input is cut
// at line feeds into up to eight requests of one connection (the first byte says whether it
// logs in first and whether the requests travel as raw bodies or as "TXT" and Base64 of the
// JSON text); a second connection takes part in rooms and chat. Every reply must be valid
// UTF-8 and one JSON object. Run by libFuzzer, one input at a time; the lobby is cleared
// after each.
#include <rapidjson/document.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "iocpengine/ClientRec.h"
#include "iocpengine/MsgTransport.h"
#include "lobby/NetMesg.h"
#include "platform/AppLog.h"
#include "protocol/TextCheck.h"
#include "protocol/TextUtils.h"
#include "server/CmdLineObject.h"
#include "server/RequestIntake.h"

namespace {

using namespace tessil;

// Checks every reply as it is handed over; sends nothing.
class CheckingTransport final : public IMsgTransport {
  public:
    bool IsActive() const override { return true; }
    void SendString(std::string_view body, const TClientRecPtr&) override { Check(body); }
    void SendFrame(const std::shared_ptr<const std::string>& frame, const TClientRecPtr&) override {
        Check(std::string_view(*frame).substr(6));
    }
    void DisconnectClient(const TClientRecPtr&) override {}
    int32_t GetClientCount() const override { return 2; }

  private:
    static void Check(std::string_view body) {
        const std::string text = Base64Decode(body);
        if (!IsValidUtf8(text)) std::abort();
        rapidjson::Document d;
        d.Parse(text.data(), text.size());
        if (d.HasParseError() || !d.IsObject()) std::abort();
    }
};

struct World {
    World() : cmd(&transport), intake(cmd) {
        net = std::make_shared<TNetMesg>(&transport);
        cmd.SetNetMesg(net);
    }
    CheckingTransport transport;
    TCmdLineObject cmd;
    RequestIntake intake;
    std::shared_ptr<TNetMesg> net;
};

TClientRecPtr NewClient(const char* port) {
    auto c = std::make_shared<TClientRec>();
    c->FAddress = "127.0.0.1";
    c->FPort = port;
    return c;
}

std::string Body(std::string_view json) {
    return "TXT" + Base64Encode(json);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    filelog::SetPath("");  // file-log lines are dropped
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static World* world = new World();
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);

    auto me = NewClient("50001");
    auto other = NewClient("50002");
    world->intake.Server_DataReceived(
        other, Body(R"({"cmd":"LOGIN","usrid":"other","pass":"p","gcode":"G1"})"));
    world->intake.Server_DataReceived(
        other, Body(R"({"cmd":"MAKEROOM","pass":"","subject":"s","roomtype":"OPEN",)"
                    R"("roomterm":"CONT","gamecode":"G1"})"));
    if (mode & 1) {
        world->intake.Server_DataReceived(
            me, Body(R"({"cmd":"LOGIN","usrid":"me","pass":"p","gcode":"G1"})"));
    }
    for (int n = 0; n < 8 && !input.empty(); ++n) {
        const size_t cut = input.find('\n');
        const std::string_view request = input.substr(0, cut);
        input.remove_prefix(cut == std::string_view::npos ? input.size() : cut + 1);
        world->intake.Server_DataReceived(me, (mode & 2) ? std::string(request) : Body(request));
    }
    world->cmd.Tessil_CheckLogout(me);
    world->cmd.Tessil_CheckLogout(other);
    world->cmd.GameInfo().ClearAllData();
    return 0;
}
