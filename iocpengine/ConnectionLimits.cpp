// The production defaults of the connection bounds, read from the settings file once when
// the application creates its message server (owner's thread).
#include "iocpengine/ConnectionLimits.h"

#include <sys/resource.h>

#include "platform/Settings.h"

namespace tessil {

TConnectionLimits TConnectionLimits::FromSettings() {
    using settings::Int;
    TConnectionLimits l;
    // Descriptors kept for the panel, the logs, the settings and the account files.
    const int64_t reserve = Int("Limits", "DescriptorReserve", 64, 8, 100000);
    int64_t cap = Int("Limits", "MaxConnections", 100000, 1, 10000000);
    rlimit nofile{};
    if (getrlimit(RLIMIT_NOFILE, &nofile) == 0 && nofile.rlim_cur != RLIM_INFINITY) {
        const int64_t room = static_cast<int64_t>(nofile.rlim_cur) - reserve;
        if (room < cap) cap = room > 1 ? room : 1;
    }
    l.maxConnections = cap;
    l.maxPerAddress = Int("Limits", "MaxConnectionsPerAddress", 256, 0, 10000000);
    l.perAddressExempt = settings::Str("Limits", "PerAddressExempt", "127.0.0.1");
    l.handshakeMs = Int("Limits", "HandshakeTimeoutMs", 10000, 0, 3600000);
    l.loginMs = Int("Limits", "LoginTimeoutMs", 60000, 0, 3600000);
    l.frameMs = Int("Limits", "FrameTimeoutMs", 30000, 0, 3600000);
    l.maxBodyBeforeLogin =
        static_cast<uint32_t>(Int("Limits", "MaxBodyBeforeLogin", 4096, 64, 128 << 20));
    l.maxBodyAfterLogin =
        static_cast<uint32_t>(Int("Limits", "MaxBodyAfterLogin", 1 << 20, 64, 128 << 20));
    l.softPendingOut =
        static_cast<uint64_t>(Int("Limits", "OutputSoftBytes", 4 << 20, 0, int64_t{1} << 40));
    l.softPendingMs = Int("Limits", "OutputSoftMs", 10000, 0, 3600000);
    l.hardPendingOut =
        static_cast<uint64_t>(Int("Limits", "OutputHardBytes", 32 << 20, 0, int64_t{1} << 40));
    l.requestRate = static_cast<double>(Int("Limits", "RequestsPerSecond", 5000, 0, 10000000));
    l.requestBurst = static_cast<double>(Int("Limits", "RequestBurst", 5000, 1, 10000000));
    l.floodMs = Int("Limits", "FloodMs", 10000, 0, 3600000);
    l.replyBytesPerRequest =
        static_cast<uint32_t>(Int("Limits", "ReplyBytesPerRequest", 1024, 0, 1 << 30));
    return l;
}

}  // namespace tessil
