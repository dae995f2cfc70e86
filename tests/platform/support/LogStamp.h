// "YYYY/MM/DD [hh:mm:ss] " at the start of a file-log line. Header-only test helper.
#pragma once

#include <string>

namespace tessil::test {

// True when line starts with "YYYY/MM/DD [hh:mm:ss] "; rest receives what follows.
inline bool splitStamp(const std::string& line, std::string& rest) {
    const std::string pattern = "dddd/dd/dd [dd:dd:dd] ";
    if (line.size() < pattern.size()) return false;
    for (size_t i = 0; i < pattern.size(); ++i) {
        const bool digit = line[i] >= '0' && line[i] <= '9';
        if (pattern[i] == 'd' ? !digit : line[i] != pattern[i]) return false;
    }
    rest = line.substr(pattern.size());
    return true;
}

}  // namespace tessil::test
