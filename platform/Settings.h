// The settings file (INI) as a process-wide read-only table: loaded once on the main
// thread before anything starts, then read from any thread. Each subsystem reads its own
// keys with a default, so a missing file or key means "the default".
#pragma once

#include <cstdint>
#include <string>

namespace tessil::settings {

// Reads FILE into the table, replacing what was there. Returns an empty string on
// success, else why the file could not be read (missing, unreadable, bad line N).
std::string Load(const std::string& file);

// Drops every loaded key (tests).
void Clear();

// The value of [section] key, or `fallback` when the key is absent. Section and key names
// are case-insensitive. Int returns `fallback` for a value that is not a whole number in
// [min, max].
int64_t Int(const char* section, const char* key, int64_t fallback, int64_t min = INT64_MIN,
            int64_t max = INT64_MAX);
std::string Str(const char* section, const char* key, const std::string& fallback);

// Sets a key as if it came from the file (tests and command-line overrides).
void Set(const char* section, const char* key, const std::string& value);

}  // namespace tessil::settings
