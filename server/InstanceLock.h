// The single-instance lock: an exclusive lock on a file named after the instance in the
// runtime directory, held for the life of the process. Owned by the process entry.
#pragma once

#include <string>

namespace tessil {

class InstanceLock {
  public:
    // Tries to take the lock for `name` (letters, digits, '.', '_' and '-' only).
    // `dir` empty: $XDG_RUNTIME_DIR, or /tmp when that is unset.
    explicit InstanceLock(const std::string& name, const std::string& dir = "");
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // True when this process holds the lock.
    bool Acquired() const { return fd_ >= 0 && error_.empty(); }
    // True when another process holds it.
    bool HeldElsewhere() const { return heldElsewhere_; }
    // Why the lock could not be taken (empty when acquired or held elsewhere).
    const std::string& Error() const { return error_; }
    const std::string& Path() const { return path_; }

    static bool IsValidName(const std::string& name);

  private:
    int fd_ = -1;
    bool heldElsewhere_ = false;
    std::string path_;
    std::string error_;
};

}  // namespace tessil
