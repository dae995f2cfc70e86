// Micro-benchmark of room chat fan-out inside the server: a USRMSGALL request through
// request intake, and the registry's broadcast alone, over a transport that only counts
// frames. Rooms of 8 and 50 members among 100 and 10 rooms. Single-threaded.
#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "iocpengine/ClientRec.h"
#include "iocpengine/MsgTransport.h"
#include "lobby/NetMesg.h"
#include "protocol/TextUtils.h"
#include "server/CmdLineObject.h"
#include "server/RequestIntake.h"

namespace {

using namespace tessil;

class CountingTransport : public IMsgTransport {
  public:
    bool IsActive() const override { return true; }
    void SendString(std::string_view, const TClientRecPtr&) override { ++frames; }
    void SendFrame(const std::shared_ptr<const std::string>&, const TClientRecPtr&) override {
        ++frames;
    }
    void DisconnectClient(const TClientRecPtr&) override {}
    int32_t GetClientCount() const override { return 0; }
    std::atomic<uint64_t> frames{0};
};

std::string Body(const std::string& json) {
    return "TXT" + Base64Encode(json);
}

// rooms x members logged in and seated; returns the first member of the first room.
struct Lobby {
    CountingTransport svr;
    TCmdLineObject cmd{&svr};
    RequestIntake intake{cmd};
    std::vector<TClientRecPtr> clients;
    int32_t firstRoom = 0;

    Lobby(int rooms, int members) {
        cmd.SetNetMesg(std::make_shared<TNetMesg>(&svr));
        for (int r = 0; r < rooms; ++r) {
            int32_t roomNo = 0;
            for (int m = 0; m < members; ++m) {
                auto c = std::make_shared<TClientRec>();
                c->FAddress = "127.0.0.1";
                c->FPort = std::to_string(clients.size() + 1);
                std::string id = std::to_string(r);
                id += '_';
                id += std::to_string(m);
                intake.Server_DataReceived(
                    c, Body(R"({"cmd":"LOGIN","usrid":")" + id + R"(","pass":"p","gcode":"G"})"));
                if (m == 0) {
                    intake.Server_DataReceived(
                        c, Body(R"({"cmd":"MAKEROOM","pass":"","subject":"s","roomtype":"OPEN",)"
                                R"("roomterm":"CONT","gamecode":"G"})"));
                    roomNo = c->FRoomNo;
                } else {
                    intake.Server_DataReceived(
                        c, Body(R"({"cmd":"ENTERROOM","roomNo":)" + std::to_string(roomNo) +
                                R"(,"pass":"","gamecode":"G"})"));
                }
                clients.push_back(c);
            }
            if (r == 0) firstRoom = roomNo;
        }
    }
};

void BM_ChatThroughIntake(benchmark::State& state) {
    Lobby lobby(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    const std::string body =
        Body(R"({"cmd":"USRMSGALL","roomNo":)" + std::to_string(lobby.firstRoom) +
             R"(,"mesg":"hello everybody in this room"})");
    const TClientRecPtr sender = lobby.clients.front();
    const uint64_t before = lobby.svr.frames;
    for (auto _ : state) lobby.intake.Server_DataReceived(sender, body);
    // Deliveries to the other members (the sender's own reply not counted).
    state.SetItemsProcessed(static_cast<int64_t>(lobby.svr.frames - before) -
                            static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_ChatThroughIntake)->Args({100, 8})->Args({10, 50});

void BM_RegistryBroadcast(benchmark::State& state) {
    Lobby lobby(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    const TClientRecPtr sender = lobby.clients.front();
    const uint64_t before = lobby.svr.frames;
    for (auto _ : state) {
        lobby.cmd.Tessil_BroadcastMsgToRoom("USRMSGALL", lobby.firstRoom,
                                            "hello everybody in this room", sender);
    }
    state.SetItemsProcessed(static_cast<int64_t>(lobby.svr.frames - before));
}
BENCHMARK(BM_RegistryBroadcast)->Args({100, 8})->Args({10, 50});

}  // namespace

BENCHMARK_MAIN();
