// The defence against password guessing through LOGOUT and LOGOUTREQ: wrong passwords for
// another connection's user are counted per connection (the connection is closed after a
// few) and per target user ID (the ID is then locked for a time that doubles with every
// further failure, during which no password is even compared). Owned by the command
// handler; called from the request workers, one short lock per call.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "iocpengine/ClientRec.h"
#include "platform/LimitEvents.h"

namespace tessil {

class TLogoutGuard {
  public:
    using Clock = std::chrono::steady_clock;

    struct TSettings {
        int32_t perConnection = 3;                  // LogoutFailuresPerConnection
        int32_t perUser = 5;                        // LogoutFailuresPerUser
        std::chrono::milliseconds lock{2000};       // LogoutLockMs
        std::chrono::milliseconds lockMax{600000};  // LogoutLockMaxMs
        static TSettings FromSettings();
    };

    explicit TLogoutGuard(TSettings settings = TSettings::FromSettings());

    // True when the connection has used up its failures (its close is under way).
    bool ConnectionSpent(const TClientRec& client) const;
    // True while usrid is locked: its password must not be compared.
    bool IsLocked(std::string_view usrid, Clock::time_point now = Clock::now());
    // Records one wrong password (or an attempt on a locked ID) from client for usrid.
    // Returns true when the connection is now to be closed.
    bool Failed(TClientRec& client, std::string_view usrid, Clock::time_point now = Clock::now());
    // The two halves of Failed, for a LOGOUT decided on another node than the one the
    // request came in on: the target ID's count (where the user is) and the connection's.
    void FailedUser(std::string_view usrid, Clock::time_point now = Clock::now());
    bool FailedConnection(TClientRec& client);

  private:
    struct Entry {
        int32_t failures = 0;
        Clock::time_point lockedUntil{};
        Clock::time_point last{};
    };
    // Forgets targets whose lock ran out and that saw no failure for lockMax.
    void pruneLocked(Clock::time_point now);

    const TSettings settings_;
    std::mutex mu_;
    std::unordered_map<std::string, Entry> users_;
    limits::TEpisode connectionEpisode_;
    limits::TEpisode userEpisode_;
};

}  // namespace tessil
