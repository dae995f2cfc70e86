// The WebSocket gateway over libwebsockets: one service thread; each WebSocket has a Link
// that owns the bytes queued both ways, and a raw client connection to the server. Reading
// pauses on a side whose queue passes the bound, so a slow reader never grows memory.
#include "gateway/WsGateway.h"

#include <libwebsockets.h>

#include <cstring>
#include <deque>
#include <iostream>
#include <string_view>
#include <vector>

#include "client/FrameReader.h"
#include "platform/LimitEvents.h"
#include "platform/Settings.h"

namespace tessil {

namespace {

constexpr const char* kUpstreamProtocol = "tessil-upstream";

int wsCallback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len) {
    auto* gw = static_cast<WsGateway*>(lws_context_user(lws_get_context(wsi)));
    return gw->OnWebSocket(wsi, reason, user, in, len);
}

int upstreamCallback(lws* wsi, lws_callback_reasons reason, void*, void* in, size_t len) {
    auto* gw = static_cast<WsGateway*>(lws_context_user(lws_get_context(wsi)));
    return gw->OnUpstream(wsi, reason, in, len);
}

// The WebSocket protocol comes first: a browser that names no subprotocol gets it.
const lws_protocols kProtocols[] = {
    {"tessil", wsCallback, sizeof(void*), 0, 0, nullptr, 0},
    {kUpstreamProtocol, upstreamCallback, 0, 0, 0, nullptr, 0},
    {nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

// Whole frames, each no longer than the bound: what a browser's message must hold.
bool wholeFrames(std::string_view bytes, int64_t maxBody) {
    while (!bytes.empty()) {
        if (bytes.size() < kFrameHeaderSize) return false;
        uint32_t len = 0;
        for (int i = 3; i >= 0; --i) len = (len << 8) | static_cast<uint8_t>(bytes[i]);
        if (len > maxBody || bytes.size() - kFrameHeaderSize < len) return false;
        bytes.remove_prefix(kFrameHeaderSize + len);
    }
    return true;
}

limits::TEpisode perAddressEpisode, messageEpisode, pendingEpisode;

// Counts one event of a bound and writes its line once per episode.
void reached(const char* counter, limits::TEpisode& episode, const std::string& line) {
    limits::CountRefusal(counter);
    if (episode.Begin()) std::cerr << "tessil-gateway: " << line << std::endl;
}

}  // namespace

struct WsGateway::Link {
    lws* ws = nullptr;
    lws* up = nullptr;
    std::string address;
    bool upConnected = false;
    bool upClosed = false;
    std::string message;            // a browser message being received
    std::string toServer;           // bytes not yet written to the server
    std::deque<std::string> toWeb;  // frames not yet sent as messages
    size_t toWebBytes = 0;
    FrameReader reader;
    bool wsPaused = false, upPaused = false;
};

namespace {

// Empties a buffer; one that grew in a burst gives its memory back, so an idle link holds
// no burst's size.
void releaseIfLarge(std::string& buffer) {
    if (buffer.capacity() > FrameReader::kKeepBytes)
        std::string().swap(buffer);
    else
        buffer.clear();
}

}  // namespace

GatewayOptions GatewayOptions::FromSettings() {
    GatewayOptions o;
    o.connectionsPerAddress = settings::Int("Limits", "GatewayConnectionsPerAddress",
                                            o.connectionsPerAddress, 1, 1000000);
    o.maxMessage = settings::Int("Limits", "GatewayMaxMessage", o.maxMessage, 64, kMaxFrameBody);
    o.maxPending = settings::Int("Limits", "GatewayMaxPending", o.maxPending, 65536, INT64_MAX);
    return o;
}

WsGateway::WsGateway(GatewayOptions options) : opt_(std::move(options)) {}

WsGateway::~WsGateway() {
    if (context_ != nullptr) lws_context_destroy(context_);
}

bool WsGateway::Start(std::string& why) {
    lws_set_log_level(LLL_ERR, nullptr);
    static lws_http_mount mount{};
    lws_context_creation_info info{};
    info.port = opt_.listenPort;
    info.iface = opt_.listenHost.c_str();
    info.protocols = kProtocols;
    info.user = this;
    info.options = LWS_SERVER_OPTION_DISABLE_IPV6;
    if (!opt_.webRoot.empty()) {
        mount.mountpoint = "/";
        mount.mountpoint_len = 1;
        mount.origin = opt_.webRoot.c_str();
        mount.def = "index.html";
        mount.origin_protocol = LWSMPRO_FILE;
        info.mounts = &mount;
    }
    context_ = lws_create_context(&info);
    if (context_ == nullptr) {
        why = "cannot listen on " + opt_.listenHost + ":" + std::to_string(opt_.listenPort);
        return false;
    }
    port_ = lws_get_vhost_listen_port(lws_get_vhost_by_name(context_, "default"));
    return true;
}

void WsGateway::Run() {
    while (!stop_.load()) {
        if (lws_service(context_, 0) < 0) break;
    }
}

void WsGateway::Stop() {
    stop_.store(true);
    if (context_ != nullptr) lws_cancel_service(context_);
}

void WsGateway::closeLink(Link* link) {
    if (link->up != nullptr) {
        lws_set_opaque_user_data(link->up, nullptr);
        lws_set_timeout(link->up, PENDING_TIMEOUT_KILLED_BY_PARENT, LWS_TO_KILL_ASYNC);
        link->up = nullptr;
    }
    if (--perAddress_[link->address] <= 0) perAddress_.erase(link->address);
    delete link;
}

int WsGateway::OnWebSocket(lws* wsi, int reason, void* user, void* in, size_t len) {
    Link** slot = static_cast<Link**>(user);
    Link* link = slot != nullptr ? *slot : nullptr;
    switch (reason) {
        case LWS_CALLBACK_FILTER_PROTOCOL_CONNECTION: {
            char peer[64] = "";
            lws_get_peer_simple(wsi, peer, sizeof peer);
            if (perAddress_[peer] >= opt_.connectionsPerAddress) {
                limits::CountRefusal("GatewayConnectionsPerAddress");
                if (perAddressEpisode.Begin()) {
                    std::cerr << "tessil-gateway: refusing WebSockets from " << peer
                              << ": GatewayConnectionsPerAddress (" << opt_.connectionsPerAddress
                              << ") reached" << std::endl;
                }
                return 1;
            }
            return 0;
        }
        case LWS_CALLBACK_ESTABLISHED: {
            link = new Link();
            *slot = link;
            link->ws = wsi;
            char peer[64] = "";
            lws_get_peer_simple(wsi, peer, sizeof peer);
            link->address = peer;
            ++perAddress_[link->address];
            lws_client_connect_info ci{};
            ci.context = lws_get_context(wsi);
            ci.address = opt_.serverHost.c_str();
            ci.port = opt_.serverPort;
            ci.host = ci.address;
            ci.origin = ci.address;
            ci.path = "";
            ci.method = "RAW";
            ci.protocol = kUpstreamProtocol;
            ci.local_protocol_name = kUpstreamProtocol;
            ci.opaque_user_data = link;
            link->up = lws_client_connect_via_info(&ci);
            if (link->up == nullptr) {
                link->upClosed = true;
                lws_callback_on_writable(wsi);
            }
            return 0;
        }
        case LWS_CALLBACK_RECEIVE: {
            if (link == nullptr) return -1;
            if (!lws_frame_is_binary(wsi) ||
                link->message.size() + len > static_cast<size_t>(opt_.maxMessage)) {
                reached("gateway_message", messageEpisode,
                        "closing a WebSocket from " + link->address +
                            ": a text message or one over GatewayMaxMessage (" +
                            std::to_string(opt_.maxMessage) + " bytes)");
                lws_close_reason(wsi, LWS_CLOSE_STATUS_POLICY_VIOLATION, nullptr, 0);
                return -1;
            }
            link->message.append(static_cast<const char*>(in), len);
            if (!lws_is_final_fragment(wsi)) return 0;
            if (!wholeFrames(link->message, opt_.maxMessage)) {
                reached("gateway_message", messageEpisode,
                        "closing a WebSocket from " + link->address +
                            ": a message that is not whole frames");
                lws_close_reason(wsi, LWS_CLOSE_STATUS_POLICY_VIOLATION, nullptr, 0);
                return -1;
            }
            link->toServer += link->message;
            releaseIfLarge(link->message);
            if (link->toServer.size() > static_cast<size_t>(opt_.maxPending) && !link->wsPaused) {
                reached("gateway_pending", pendingEpisode,
                        "pausing reads: GatewayMaxPending (" + std::to_string(opt_.maxPending) +
                            " bytes) queued");
                link->wsPaused = true;
                lws_rx_flow_control(wsi, 0);
            }
            if (link->up != nullptr && link->upConnected) lws_callback_on_writable(link->up);
            return 0;
        }
        case LWS_CALLBACK_SERVER_WRITEABLE: {
            if (link == nullptr) return -1;
            if (link->toWeb.empty()) return link->upClosed ? -1 : 0;  // reply sent, then close
            std::string& frame = link->toWeb.front();
            std::vector<unsigned char> buf(LWS_PRE + frame.size());
            std::memcpy(buf.data() + LWS_PRE, frame.data(), frame.size());
            if (lws_write(wsi, buf.data() + LWS_PRE, frame.size(), LWS_WRITE_BINARY) <
                static_cast<int>(frame.size())) {
                return -1;
            }
            link->toWebBytes -= frame.size();
            link->toWeb.pop_front();
            if (link->upPaused && link->toWebBytes < static_cast<size_t>(opt_.maxPending) / 2 &&
                link->up != nullptr) {
                link->upPaused = false;
                lws_rx_flow_control(link->up, 1);
            }
            if (!link->toWeb.empty() || link->upClosed) lws_callback_on_writable(wsi);
            return 0;
        }
        case LWS_CALLBACK_CLOSED:
            if (link != nullptr) {
                closeLink(link);
                *slot = nullptr;
            }
            return 0;
        default:
            return lws_callback_http_dummy(wsi, static_cast<lws_callback_reasons>(reason), user, in,
                                           len);
    }
}

int WsGateway::OnUpstream(lws* wsi, int reason, void* in, size_t len) {
    auto* link = static_cast<Link*>(lws_get_opaque_user_data(wsi));
    switch (reason) {
        case LWS_CALLBACK_RAW_CONNECTED:
            if (link == nullptr) return -1;
            link->upConnected = true;
            if (!link->toServer.empty()) lws_callback_on_writable(wsi);
            return 0;
        case LWS_CALLBACK_RAW_RX: {
            if (link == nullptr) return -1;
            link->reader.Feed(std::string_view(static_cast<const char*>(in), len));
            try {
                while (auto f = link->reader.Next()) {
                    link->toWebBytes += f->header.size() + f->body.size();
                    link->toWeb.push_back(f->Raw());
                }
            } catch (const FrameError&) {
                return -1;  // the server never sends this; end the link
            }
            if (link->toWebBytes > static_cast<size_t>(opt_.maxPending) && !link->upPaused) {
                reached("gateway_pending", pendingEpisode,
                        "pausing reads: GatewayMaxPending (" + std::to_string(opt_.maxPending) +
                            " bytes) queued");
                link->upPaused = true;
                lws_rx_flow_control(wsi, 0);
            }
            if (!link->toWeb.empty()) lws_callback_on_writable(link->ws);
            return 0;
        }
        case LWS_CALLBACK_RAW_WRITEABLE: {
            if (link == nullptr || link->toServer.empty()) return link == nullptr ? -1 : 0;
            const size_t n = std::min<size_t>(link->toServer.size(), 65536);
            std::vector<unsigned char> buf(LWS_PRE + n);
            std::memcpy(buf.data() + LWS_PRE, link->toServer.data(), n);
            if (lws_write(wsi, buf.data() + LWS_PRE, n, LWS_WRITE_RAW) < static_cast<int>(n)) {
                return -1;
            }
            link->toServer.erase(0, n);
            if (link->toServer.empty()) releaseIfLarge(link->toServer);
            if (link->wsPaused &&
                link->toServer.size() < static_cast<size_t>(opt_.maxPending) / 2) {
                link->wsPaused = false;
                lws_rx_flow_control(link->ws, 1);
            }
            if (!link->toServer.empty()) lws_callback_on_writable(wsi);
            return 0;
        }
        case LWS_CALLBACK_CLIENT_CONNECTION_ERROR:
        case LWS_CALLBACK_RAW_CLOSE:
            if (link != nullptr) {
                // The server closed (or could not be reached): what it sent goes out first.
                link->up = nullptr;
                link->upClosed = true;
                lws_callback_on_writable(link->ws);
            }
            return 0;
        default:
            return 0;
    }
}

}  // namespace tessil
