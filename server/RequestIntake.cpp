// Request intake: decoding, the login gate, the two-stage routing and the intake's own
// replies, plus the user-list branches. Runs on the message server's worker threads.
#include "server/RequestIntake.h"

#include "platform/AppLog.h"
#include "platform/LimitEvents.h"
#include "platform/Metrics.h"
#include "protocol/ClientProtocol.h"
#include "server/CmdLineObject.h"

namespace tessil {

namespace {
constexpr size_t kJsonValueBytes = 4096;
// The parser's two stacks (its own and the values under construction) start small and
// share this buffer.
constexpr size_t kJsonStackBytes = 2048;
constexpr size_t kJsonStackStart = 512;
constexpr size_t kJsonOverflowBytes = 16 * 1024;
}  // namespace

RequestIntake::RequestIntake(TCmdLineObject& cmd) : cmd_(cmd) {}

void RequestIntake::reply(const Request& r, std::string_view code, std::string_view data) const {
    cmd_.Reply(MakeMsgForClient(r.cmd, code, data), r.client);
}

bool RequestIntake::field(const Request& r, const char* name, TField kind,
                          std::string& value) const {
    return ReadField(r.json, name, kind, cmd_.Limits(), value);
}

std::string RequestIntake::NoteRequest(std::string_view body) {
    Process_Count.fetch_add(1, std::memory_order_relaxed);
    std::string requestText = RequestText(body);
    windowlog::Add(requestText);
    return requestText;
}

void RequestIntake::Server_DataReceived(const TClientRecPtr& client, std::string_view body) {
    metrics::RequestTimer timing;  // requests by command and their handling time
    if (!client) {
        Process_Count.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    handle(client, NoteRequest(body), &timing);
}

void RequestIntake::HandleNoted(const TClientRecPtr& client, const std::string& requestText) {
    if (client) handle(client, requestText, nullptr);
}

void RequestIntake::handle(const TClientRecPtr& client, const std::string& requestText,
                           metrics::RequestTimer* timing) {
    // The parsed values and the parser's working stacks live in buffers on this stack: a
    // request's few members fit them, where the parser's own pool would take (and give
    // back) a 64 KiB block per request and its stacks a few more. A larger request
    // continues in heap blocks of kJsonOverflowBytes.
    alignas(8) char values[kJsonValueBytes];
    alignas(8) char stacks[kJsonStackBytes];
    rapidjson::MemoryPoolAllocator<> valuePool(values, sizeof values, kJsonOverflowBytes);
    rapidjson::MemoryPoolAllocator<> stackPool(stacks, sizeof stacks, kJsonOverflowBytes);
    TRequestJson json(&valuePool, kJsonStackStart, &stackPool);
    const TJsonParse parsed = ParseRequest(requestText, json, cmd_.Limits().jsonDepthMax);
    if (parsed != TJsonParse::Object) {
        if (parsed == TJsonParse::TooDeep) {
            limits::CountRefusal("json_depth");
            if (depthEpisode_.Begin()) {
                filelog::Write("RequestIntake", "a request nested deeper than JsonDepthMax=" +
                                                    std::to_string(cmd_.Limits().jsonDepthMax) +
                                                    " was refused");
            }
        }
        cmd_.Reply(MakeMsgForClient("SYNTAX", code::E015, text::SyntaxJson), client);
        return;
    }
    std::string word;
    if (!GetJosnValue_Str(&json, "cmd", word) ||
        !CheckField(word, TField::Command, cmd_.Limits())) {
        cmd_.Reply(MakeMsgForClient("SYNTAX", code::E015, text::SyntaxCmd), client);
        return;
    }
    if (timing != nullptr) timing->command = word;
    const int32_t command = CommandType(word);
    const Request r{client, word, json};

    switch (command) {
        case cmdLogin:
            if (!cmd_.Tessil_Process_Login(client, json)) cmd_.Disconnect(client, 100);
            return;
        case cmdLogout:
            cmd_.Tessil_Process_Logout(client, json);
            return;
        case cmdLogoutReq:
            cmd_.Tessil_Process_Logout(client, json, true);
            return;
        default:
            break;
    }

    // The login gate. A connection whose user was logged out, or whose user ID has since
    // been taken by another connection, no longer speaks for that user.
    if (client->FLoginState != 1) {
        reply(r, code::E016, text::NotLoggedIn);
        return;
    }
    if (!cmd_.GameInfo().IsListedClient(client)) {
        reply(r, code::E012, text::UnregisteredUser);
        cmd_.Disconnect(client, 500);
        return;
    }

    if (routeGameReports(r, command)) return;
    if (routeCommands(r, command)) return;
    if (word.empty()) reply(r, code::E002, text::UndefinedRequest);
}

bool RequestIntake::routeGameReports(const Request& r, int32_t command) {
    switch (command) {
        case cmdReadyOk:
        case cmdStartOk:
        case cmdStopOk:
        case cmdEndOk:
            doMemberReport(r, command);
            return true;
        case cmdReqReset:
            doResetRequest(r);
            return true;
        default:
            return false;
    }
}

bool RequestIntake::routeCommands(const Request& r, int32_t command) {
    switch (command) {
        case cmdUsrList:
            doUserList(r);
            return true;
        case cmdRoomList:
            doRoomList(r);
            return true;
        case cmdFindUser:
            doFindUser(r);
            return true;
        case cmdMakeRoom:
            doMakeRoom(r);
            return true;
        case cmdExitRoom:
            doExitRoom(r);
            return true;
        case cmdEnterRoom:
            doEnterRoom(r);
            return true;
        case cmdUsrMsgAll:
        case cmdUsrDef:
            doRoomChat(r, command);
            return true;
        case cmdUsrMsg:
            doUserMsg(r);
            return true;
        case cmdReqStart:
        case cmdReqStop:
        case cmdReqRdy:
            doMasterRequest(r, command);
            return true;
        default:
            return false;
    }
}

void RequestIntake::doUserList(const Request& r) {
    cmd_.ReplyList(MakeArrayMsgForClient(r.cmd, code::E000, cmd_.Tessil_GetAllUserList()),
                   r.client);
}

void RequestIntake::doFindUser(const Request& r) {
    std::string usrid;
    if (!field(r, "usrid", TField::UserId, usrid)) {
        reply(r, code::E015, text::CommandFormat);
        return;
    }
    cmd_.Reply(MakeArrayMsgForClient(r.cmd, code::E000, cmd_.Tessil_FindUserID(usrid)), r.client);
}

}  // namespace tessil
