// The framed message protocol: 6-byte header, message kinds, size limit, handshake
// verdicts, the client-info record with its serialization, and client-list chunks.
// Shared by the message server and the client library.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessil {

enum TMsgType : uint16_t {
    mtData = 0,
    mtHandshake = 1,
    mtClientList = 2,
    mtHeartbeat = 3,
    mtClientListLast = 4,
};

inline constexpr uint32_t MaxMessageSize = 134217728;  // 128 MiB
inline constexpr size_t kHeaderSize = 6;
inline constexpr std::string_view AuthOkStr = "TAuthenticated ok";
inline constexpr std::string_view AuthFailedStr = "FAuthentication failed.";
inline constexpr size_t kClientListChunkSize = 4000;

// Header: MsgLen (uint32 little-endian), MsgType (uint16 little-endian).
struct TMsgHeader {
    uint32_t MsgLen = 0;
    uint16_t MsgType = 0;

    void EncodeTo(char out[kHeaderSize]) const;
    std::string Encode() const;
    static TMsgHeader Decode(const char in[kHeaderSize]);
};

// One whole frame (header + body) as bytes.
std::string EncodeFrame(uint16_t type, std::string_view body);

// The identity a client sends in its handshake plus the lobby state of the connection.
// The four handshake strings are written by the message server; the lobby strings are
// written by request handling at login, before the user is published to the registry.
// The three numbers are atomics: the lobby and the connection events read and write
// them on different worker threads.
class TMsgClientInfo {
  public:
    std::string FID, FAddress, FPort, FUser, FPassword, FVersion;
    std::atomic<int32_t> FRoomNo{0};
    std::string FUsrID, FUsrPass, FTagID, FUsrName, FUserNick, FUsrInfo, FGCode;
    std::atomic<int32_t> FLoginState{0};
    std::atomic<int32_t> FGameStat{0};
    // Wrong passwords this connection has sent with LOGOUT or LOGOUTREQ for another
    // connection's user (request handling).
    std::atomic<int32_t> FLogoutFailures{0};

    // FID, FUser, FPassword, FVersion, each followed by one 0x00 byte. Without the
    // password, its field is sent empty (the record of another connection in a client list).
    std::string SerializeTo(bool withPassword = true) const;
    int32_t SerializeSize() const;
    // Fills the four handshake fields from the front of s and consumes what it read.
    void SerializeFrom(std::string& s);
};

// True when none of the four fields a handshake body carries is longer than maxField
// bytes (bytes after the fourth field are ignored, as the handshake ignores them).
bool HandshakeFieldsWithin(std::string_view body, size_t maxField);

// Present, with a non-empty address and port.
bool IsValidClient(const TMsgClientInfo* client);

// Splits the concatenation of serialized records into chunks: a chunk is closed once it
// reaches kClientListChunkSize bytes, except after the last record. The last chunk (maybe
// empty) is always present; it goes out as mtClientListLast, the others as mtClientList.
std::vector<std::string> BuildClientListChunks(const std::vector<std::string>& records);

// Ordered owning list of strings.
class TDnStringList {
  public:
    void Add(std::string_view s) { items_.emplace_back(s); }
    int IndexOf(std::string_view s) const;
    const std::string& Strings(int index) const { return items_.at(index); }
    void SetStrings(int index, std::string_view s) { items_.at(index) = s; }
    int Count() const { return static_cast<int>(items_.size()); }
    void Clear() { items_.clear(); }

  private:
    std::vector<std::string> items_;
};

}  // namespace tessil
