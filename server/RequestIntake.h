// Request intake: one data message to a checked JSON request, the login gate and routing.
// Owned by the window; runs on the message server's workers (one call at a time per client).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "iocpengine/ClientRec.h"
#include "platform/LimitEvents.h"
#include "platform/Metrics.h"
#include "protocol/TextUtils.h"
#include "server/RequestFields.h"

namespace tessil {

class TCmdLineObject;

class RequestIntake {
  public:
    // cmd must outlive this object.
    explicit RequestIntake(TCmdLineObject& cmd);
    RequestIntake(const RequestIntake&) = delete;
    RequestIntake& operator=(const RequestIntake&) = delete;

    // Handles the body of one data message from client: counts it, writes its window-log
    // line, times it by command and answers it.
    void Server_DataReceived(const TClientRecPtr& client, std::string_view body);

    // For a caller that routes requests itself (a cluster node answers some here and
    // forwards others): NoteRequest counts a request and writes its window-log line when it
    // arrives and returns its text (RequestText of the body), and HandleNoted answers that
    // text without counting, logging or timing it again.
    std::string NoteRequest(std::string_view body);
    void HandleNoted(const TClientRecPtr& client, const std::string& requestText);

    // Data messages handed to Server_DataReceived since creation (Process_Count).
    uint64_t ProcessCount() const { return Process_Count.load(std::memory_order_relaxed); }

  private:
    // One request being handled: its client, command word and parsed object.
    struct Request {
        const TClientRecPtr& client;
        const std::string& cmd;
        const TJsonValue& json;
    };

    void reply(const Request& r, std::string_view code, std::string_view data) const;
    // Parses and answers a request; timing, when given, learns its command word.
    void handle(const TClientRecPtr& client, const std::string& requestText,
                metrics::RequestTimer* timing);
    // Reads a text member and checks it against the bounds of its kind.
    bool field(const Request& r, const char* name, TField kind, std::string& value) const;

    // Stage 1 (the member reports and REQRESET); false when the command is not one of them.
    bool routeGameReports(const Request& r, int32_t command);
    // Stage 2 (lists, rooms, chat, the master's requests); false when no branch took it.
    bool routeCommands(const Request& r, int32_t command);

    void doUserList(const Request& r);
    void doFindUser(const Request& r);
    void doRoomList(const Request& r);
    void doMakeRoom(const Request& r);
    void doEnterRoom(const Request& r);
    void doExitRoom(const Request& r);
    void announceEntry(const TClientRecPtr& client, int32_t roomNo);
    void doRoomChat(const Request& r, int32_t command);
    void doUserMsg(const Request& r);
    void doMasterRequest(const Request& r, int32_t command);
    void doMemberReport(const Request& r, int32_t command);
    void doResetRequest(const Request& r);

    TCmdLineObject& cmd_;
    limits::TEpisode depthEpisode_;
    std::atomic<uint64_t> Process_Count{0};
};

}  // namespace tessil
