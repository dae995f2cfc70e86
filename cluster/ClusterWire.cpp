// Encoding and decoding of the node-to-node messages (see ClusterWire.h). Any thread.
#include "cluster/ClusterWire.h"

#include <charconv>

namespace tessil::cluster {

std::string EncodeWire(WireKind kind, const std::vector<std::string_view>& fields) {
    std::string out(1, static_cast<char>(kind));
    for (auto f : fields) {
        out += std::to_string(f.size());
        out += ':';
        out.append(f.data(), f.size());
    }
    return out;
}

std::optional<WireMessage> DecodeWire(std::string_view text) {
    if (text.empty()) return std::nullopt;
    WireMessage m;
    switch (static_cast<WireKind>(text[0])) {
        case WireKind::Deliver:
        case WireKind::RoomFrame:
        case WireKind::Forward:
        case WireKind::Done:
        case WireKind::State:
        case WireKind::Logout:
        case WireKind::Resync:
        case WireKind::LogoutAsk:
        case WireKind::LogoutVerdict:
        case WireKind::Kick:
        case WireKind::Adopted:
        case WireKind::RoomImage:
            m.kind = static_cast<WireKind>(text[0]);
            break;
        default:
            return std::nullopt;
    }
    size_t pos = 1;
    while (pos < text.size()) {
        size_t colon = text.find(':', pos);
        if (colon == std::string_view::npos || colon == pos || colon - pos > 10)
            return std::nullopt;
        size_t len = 0;
        auto [end, ec] = std::from_chars(text.data() + pos, text.data() + colon, len);
        if (ec != std::errc() || end != text.data() + colon) return std::nullopt;
        if (len > text.size() - colon - 1) return std::nullopt;
        m.fields.emplace_back(text.substr(colon + 1, len));
        pos = colon + 1 + len;
    }
    return m;
}

int32_t WireInt(const std::string& field, int32_t fallback) {
    try {
        return static_cast<int32_t>(std::stol(field));
    } catch (...) {
        return fallback;
    }
}

}  // namespace tessil::cluster
