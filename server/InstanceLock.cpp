// The single-instance file lock (see InstanceLock.h). Created once by the process entry
// on the main thread.
#include "server/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tessil {

bool InstanceLock::IsValidName(const std::string& name) {
    if (name.empty() || name.size() > 200 || name == "." || name == "..") return false;
    for (unsigned char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

InstanceLock::InstanceLock(const std::string& name, const std::string& dir) {
    if (!IsValidName(name)) {
        error_ = "invalid instance name \"" + name + "\"";
        return;
    }
    std::string base = dir;
    if (base.empty()) {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        base = (runtime != nullptr && runtime[0] != '\0') ? runtime : "/tmp";
    }
    if (base.back() != '/') base += '/';
    path_ = base + name + ".lock";
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        error_ = "cannot open " + path_ + ": " + std::strerror(errno);
        return;
    }
    // The lock belongs to the open file description, so it is released by the kernel
    // however the process ends.
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        if (err == EWOULDBLOCK) {
            heldElsewhere_ = true;
        } else {
            error_ = "cannot lock " + path_ + ": " + std::strerror(err);
        }
        ::close(fd_);
        fd_ = -1;
    }
}

InstanceLock::~InstanceLock() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace tessil
