// Frame headers, whole frames, the client-info serialization and client-list chunks.
// Stateless apart from the records themselves; called from any thread.
#include "protocol/MsgFrame.h"

namespace tessil {

void TMsgHeader::EncodeTo(char out[kHeaderSize]) const {
    out[0] = static_cast<char>(MsgLen & 0xFF);
    out[1] = static_cast<char>((MsgLen >> 8) & 0xFF);
    out[2] = static_cast<char>((MsgLen >> 16) & 0xFF);
    out[3] = static_cast<char>((MsgLen >> 24) & 0xFF);
    out[4] = static_cast<char>(MsgType & 0xFF);
    out[5] = static_cast<char>((MsgType >> 8) & 0xFF);
}

std::string TMsgHeader::Encode() const {
    std::string out(kHeaderSize, '\0');
    EncodeTo(out.data());
    return out;
}

TMsgHeader TMsgHeader::Decode(const char in[kHeaderSize]) {
    const auto b = [in](int i) { return static_cast<uint32_t>(static_cast<unsigned char>(in[i])); };
    TMsgHeader h;
    h.MsgLen = b(0) | (b(1) << 8) | (b(2) << 16) | (b(3) << 24);
    h.MsgType = static_cast<uint16_t>(b(4) | (b(5) << 8));
    return h;
}

std::string EncodeFrame(uint16_t type, std::string_view body) {
    std::string out(kHeaderSize, '\0');
    TMsgHeader{static_cast<uint32_t>(body.size()), type}.EncodeTo(out.data());
    out.append(body);
    return out;
}

std::string TMsgClientInfo::SerializeTo(bool withPassword) const {
    static const std::string kEmpty;
    std::string out;
    out.reserve(static_cast<size_t>(SerializeSize()));
    for (const std::string* field :
         {&FID, &FUser, withPassword ? &FPassword : &kEmpty, &FVersion}) {
        out += *field;
        out.push_back('\0');
    }
    return out;
}

int32_t TMsgClientInfo::SerializeSize() const {
    return static_cast<int32_t>(FID.size() + FUser.size() + FPassword.size() + FVersion.size() + 4);
}

void TMsgClientInfo::SerializeFrom(std::string& s) {
    for (std::string* field : {&FID, &FUser, &FPassword, &FVersion}) {
        const size_t zero = s.find('\0');
        if (zero == std::string::npos) {
            *field = std::move(s);
            s.clear();
        } else {
            field->assign(s, 0, zero);
            s.erase(0, zero + 1);
        }
    }
}

bool HandshakeFieldsWithin(std::string_view body, size_t maxField) {
    for (int field = 0; field < 4 && !body.empty(); ++field) {
        const size_t zero = body.find('\0');
        const size_t len = zero == std::string_view::npos ? body.size() : zero;
        if (len > maxField) return false;
        body.remove_prefix(zero == std::string_view::npos ? body.size() : zero + 1);
    }
    return true;
}

bool IsValidClient(const TMsgClientInfo* client) {
    return client != nullptr && !client->FAddress.empty() && !client->FPort.empty();
}

std::vector<std::string> BuildClientListChunks(const std::vector<std::string>& records) {
    std::vector<std::string> chunks;
    std::string current;
    for (size_t i = 0; i < records.size(); ++i) {
        current += records[i];
        if (current.size() >= kClientListChunkSize && i + 1 < records.size()) {
            chunks.push_back(std::move(current));
            current.clear();
        }
    }
    chunks.push_back(std::move(current));
    return chunks;
}

int TDnStringList::IndexOf(std::string_view s) const {
    for (size_t i = 0; i < items_.size(); ++i) {
        if (items_[i] == s) return static_cast<int>(i);
    }
    return -1;
}

}  // namespace tessil
