// Client-side encoding of requests and decoding of replies and events of the JSON
// client protocol, plus the client-list record parser. Stateless; any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tessil {

// One member of a request. A raw member is inserted as a JSON literal (a number,
// true, false, an array); any other member becomes a JSON string.
struct RequestMember {
    std::string name;
    std::string value;
    bool raw = false;
};

// {"cmd":"<cmd>", members...} with every string escaped.
std::string BuildRequestJson(std::string_view cmd, const std::vector<RequestMember>& members);
// The data-message body of a request: "TXT" followed by the Base64 of the UTF-8 JSON.
std::string EncodeRequestBody(std::string_view json);

// A decoded reply or event.
struct Reply {
    std::string body;     // the data-message body as received (Base64 with line breaks)
    std::string text;     // the decoded UTF-8 text
    bool isJson = false;  // text is one JSON object
    std::string cmd, code;
    // A string data member's characters; any other data member as compact JSON.
    std::string data;
    bool dataIsString = false;
};

// Base64 (line breaks skipped) -> UTF-8 -> JSON. Member names are matched as sent, and
// in capitals when the lower-case name is missing (the logout notice uses capitals).
Reply DecodeReply(std::string_view body);

// The identity fields of one client-list record.
struct ClientIdentity {
    std::string id, user, password, version;
};
// The serialized identity a handshake carries.
std::string SerializeIdentity(const ClientIdentity& who);
// Splits concatenated client-list chunks into records of four 0-terminated fields.
std::vector<ClientIdentity> ParseClientList(std::string_view chunks);

}  // namespace tessil
