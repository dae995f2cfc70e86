// The settings table: an inih parse into a map guarded by a shared mutex.
#include "platform/Settings.h"

#include <ini.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <shared_mutex>

namespace tessil::settings {
namespace {

std::shared_mutex gMutex;
std::map<std::string, std::string> gValues;  // "section\nkey" in lower case -> value

std::string KeyOf(const char* section, const char* key) {
    std::string k = std::string(section) + '\n' + key;
    std::transform(k.begin(), k.end(), k.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return k;
}

int Store(void* user, const char* section, const char* name, const char* value) {
    auto* values = static_cast<std::map<std::string, std::string>*>(user);
    (*values)[KeyOf(section, name)] = value;
    return 1;
}

}  // namespace

std::string Load(const std::string& file) {
    FILE* f = std::fopen(file.c_str(), "r");
    if (!f) return file + ": " + std::strerror(errno);
    std::map<std::string, std::string> values;
    const int rc = ini_parse_file(f, Store, &values);
    std::fclose(f);
    if (rc > 0) return file + ": bad line " + std::to_string(rc);
    if (rc < 0) return file + ": cannot be read";
    std::unique_lock lock(gMutex);
    gValues = std::move(values);
    return {};
}

void Clear() {
    std::unique_lock lock(gMutex);
    gValues.clear();
}

int64_t Int(const char* section, const char* key, int64_t fallback, int64_t min, int64_t max) {
    std::shared_lock lock(gMutex);
    auto it = gValues.find(KeyOf(section, key));
    if (it == gValues.end()) return fallback;
    const char* text = it->second.c_str();
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || v < min || v > max) return fallback;
    return v;
}

std::string Str(const char* section, const char* key, const std::string& fallback) {
    std::shared_lock lock(gMutex);
    auto it = gValues.find(KeyOf(section, key));
    return it == gValues.end() ? fallback : it->second;
}

void Set(const char* section, const char* key, const std::string& value) {
    std::unique_lock lock(gMutex);
    gValues[KeyOf(section, key)] = value;
}

}  // namespace tessil::settings
