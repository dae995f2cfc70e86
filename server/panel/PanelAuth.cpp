// Token and Host checks of the panel and the operations endpoint (see PanelAuth.h).
#include "server/panel/PanelAuth.h"

#include <arpa/inet.h>

#include "protocol/TextUtils.h"

namespace tessil {

namespace {

bool SameText(std::string_view a, std::string_view b) {
    if (b.empty()) return false;
    size_t diff = a.size() ^ b.size();
    for (size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i % b.size()]);
    return diff == 0;
}

}  // namespace

bool PanelAuthorized(std::string_view authorization, std::string_view token) {
    if (token.empty()) return true;
    constexpr std::string_view kBearer = "Bearer ";
    constexpr std::string_view kBasic = "Basic ";
    if (authorization.substr(0, kBearer.size()) == kBearer)
        return SameText(authorization.substr(kBearer.size()), token);
    if (authorization.substr(0, kBasic.size()) == kBasic) {
        const std::string decoded = Base64Decode(authorization.substr(kBasic.size()));
        const auto colon = decoded.find(':');
        if (colon == std::string::npos) return false;
        return SameText(std::string_view(decoded).substr(colon + 1), token);
    }
    return false;
}

bool PanelHostAllowed(const std::string& hostHeader, bool haveToken) {
    if (haveToken) return true;
    std::string host = hostHeader;
    if (!host.empty() && host[0] == '[') {
        host = host.substr(0, host.find(']') + 1);
    } else if (auto colon = host.find(':'); colon != std::string::npos) {
        host = host.substr(0, colon);
    }
    in_addr v4{};
    if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    return host == "localhost" || host == "[::1]";
}

}  // namespace tessil
