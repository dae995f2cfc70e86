// The process's own figures for the operations endpoint: resident memory, CPU seconds,
// open descriptors and start time, read from /proc. Any thread; each call reads afresh.
#pragma once

#include <cstdint>

namespace tessil {

struct TProcessStats {
    uint64_t residentBytes = 0;
    double cpuSeconds = 0;
    uint64_t openFds = 0;
    uint64_t maxFds = 0;
    double startTimeSeconds = 0;  // since the epoch
};

TProcessStats ReadProcessStats();

}  // namespace tessil
