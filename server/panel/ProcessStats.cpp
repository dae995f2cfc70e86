// Reads /proc/self for the operations endpoint (see ProcessStats.h). Any thread.
#include "server/panel/ProcessStats.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace tessil {

namespace {

// The process's start time, taken when the program's statics are set up.
const double kStartTime =
    std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();

}  // namespace

TProcessStats ReadProcessStats() {
    TProcessStats s;
    s.startTimeSeconds = kStartTime;
    {
        std::ifstream statm("/proc/self/statm");
        uint64_t size = 0, resident = 0;
        if (statm >> size >> resident)
            s.residentBytes = resident * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    }
    {
        std::ifstream stat("/proc/self/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        // Fields after the command name (which may hold spaces) start after the last ')'.
        const auto close = text.rfind(')');
        if (close != std::string::npos) {
            std::istringstream rest(text.substr(close + 2));
            std::string field;
            uint64_t utime = 0, stime = 0;
            // state is field 3; utime and stime are fields 14 and 15.
            for (int i = 3; i <= 15 && rest >> field; ++i) {
                if (i == 14) utime = std::stoull(field);
                if (i == 15) stime = std::stoull(field);
            }
            s.cpuSeconds =
                static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
        }
    }
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (const dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') ++s.openFds;
        ::closedir(d);
        if (s.openFds > 0) --s.openFds;  // the directory's own descriptor
    }
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) == 0) s.maxFds = rl.rlim_cur;
    return s;
}

}  // namespace tessil
