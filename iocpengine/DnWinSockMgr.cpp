// Socket-library switch. Owner's thread.
#include "iocpengine/DnWinSockMgr.h"

#include <atomic>

#include "iocpengine/DnException.h"
#include "iocpengine/DnRuntime.h"

namespace tessil {

namespace {
std::atomic<int> gStartups{0};
std::atomic<int> gCleanups{0};
}  // namespace

void TDnWinSockMgr::SetActive(bool value) {
    if (value && !active_) {
        if (!CheckRunningNT4()) throw EDnException(ErrRequiresNT4, 0);
        // Sends use MSG_NOSIGNAL, so the start-up has nothing to configure; it always
        // succeeds and owes one clean-up.
        gStartups.fetch_add(1);
        needUnload_ = true;
        active_ = true;
    } else if (!value && active_) {
        if (needUnload_) gCleanups.fetch_add(1);
        needUnload_ = false;
        active_ = false;
    }
}

int TDnWinSockMgr::StartupCount() {
    return gStartups.load();
}
int TDnWinSockMgr::CleanupCount() {
    return gCleanups.load();
}

}  // namespace tessil
