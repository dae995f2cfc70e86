// Failure counts and lock times of the password-guessing defence. Request workers.
#include "server/LogoutGuard.h"

#include "platform/AppLog.h"
#include "platform/Settings.h"

namespace tessil {

namespace {

// Above this many remembered targets, expired ones are dropped on the next failure.
constexpr size_t kPruneAbove = 1024;

}  // namespace

TLogoutGuard::TSettings TLogoutGuard::TSettings::FromSettings() {
    TSettings s;
    s.perConnection = static_cast<int32_t>(
        settings::Int("Limits", "LogoutFailuresPerConnection", s.perConnection, 1, 1000));
    s.perUser =
        static_cast<int32_t>(settings::Int("Limits", "LogoutFailuresPerUser", s.perUser, 1, 1000));
    s.lock = std::chrono::milliseconds(
        settings::Int("Limits", "LogoutLockMs", s.lock.count(), 1, 86400000));
    s.lockMax = std::chrono::milliseconds(
        settings::Int("Limits", "LogoutLockMaxMs", s.lockMax.count(), 1, 86400000));
    if (s.lockMax < s.lock) s.lockMax = s.lock;
    return s;
}

TLogoutGuard::TLogoutGuard(TSettings settings) : settings_(settings) {}

bool TLogoutGuard::ConnectionSpent(const TClientRec& client) const {
    return client.FLogoutFailures.load() >= settings_.perConnection;
}

bool TLogoutGuard::IsLocked(std::string_view usrid, Clock::time_point now) {
    std::lock_guard lock(mu_);
    auto it = users_.find(std::string(usrid));
    return it != users_.end() && now < it->second.lockedUntil;
}

bool TLogoutGuard::Failed(TClientRec& client, std::string_view usrid, Clock::time_point now) {
    FailedUser(usrid, now);
    return FailedConnection(client);
}

void TLogoutGuard::FailedUser(std::string_view usrid, Clock::time_point now) {
    bool locked = false;
    {
        std::lock_guard lock(mu_);
        if (users_.size() > kPruneAbove) pruneLocked(now);
        Entry& e = users_[std::string(usrid)];
        if (e.failures > 0 && now >= e.lockedUntil && now - e.last >= settings_.lockMax)
            e.failures = 0;  // a quiet target starts over
        e.last = now;
        if (++e.failures >= settings_.perUser) {
            // Doubles from `lock` with every failure past the threshold, up to `lockMax`.
            const int32_t doublings = std::min(e.failures - settings_.perUser, 30);
            auto span = settings_.lock * (int64_t{1} << doublings);
            if (span > settings_.lockMax) span = settings_.lockMax;
            e.lockedUntil = now + span;
            locked = true;
        }
    }
    if (locked) {
        limits::CountRefusal("logout_password_user");
        if (userEpisode_.Begin())
            filelog::Write("LogoutGuard",
                           "repeated wrong LOGOUT passwords: the target user ID is locked (limit "
                           "LogoutFailuresPerUser=" +
                               std::to_string(settings_.perUser) + ")");
    }
}

bool TLogoutGuard::FailedConnection(TClientRec& client) {
    const bool spent = client.FLogoutFailures.fetch_add(1) + 1 >= settings_.perConnection;
    if (spent) {
        limits::CountRefusal("logout_password_connection");
        if (connectionEpisode_.Begin())
            filelog::Write("LogoutGuard", "repeated wrong LOGOUT passwords: connection from " +
                                              client.FAddress +
                                              " closed (limit LogoutFailuresPerConnection=" +
                                              std::to_string(settings_.perConnection) + ")");
    }
    return spent;
}

void TLogoutGuard::pruneLocked(Clock::time_point now) {
    for (auto it = users_.begin(); it != users_.end();) {
        if (now >= it->second.lockedUntil && now - it->second.last >= settings_.lockMax)
            it = users_.erase(it);
        else
            ++it;
    }
}

}  // namespace tessil
