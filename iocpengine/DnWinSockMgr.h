// The socket-library switch: nothing needs starting on this system, but the on/off
// bookkeeping (one clean-up owed per successful start-up) is kept for its owner, the
// message server. Used from the owner's thread only.
#pragma once

namespace tessil {

class TDnWinSockMgr {
  public:
    TDnWinSockMgr() = default;
    ~TDnWinSockMgr() { SetActive(false); }
    TDnWinSockMgr(const TDnWinSockMgr&) = delete;
    TDnWinSockMgr& operator=(const TDnWinSockMgr&) = delete;

    bool Active() const { return active_; }
    void SetActive(bool value);
    bool NeedUnload() const { return needUnload_; }
    // How many start-ups and clean-ups this process has performed (for tests).
    static int StartupCount();
    static int CleanupCount();

  private:
    bool needUnload_ = false;
    bool active_ = false;
};

}  // namespace tessil
