#pragma once
// The user's settings file, `ostrel.conf` in the ostrel home: lines of
// `key = value`, blank lines and lines starting with `#` skipped, the last
// line of a key winning. The file is read only when it is a regular file of
// the user's own that nobody else may change: a setting chooses code this
// process loads (token modules) and where it sends what it signs (a
// time-stamping authority).

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace platform::crypt {

struct ConfigLookup {
    std::optional<std::string> value;    // trimmed
    std::filesystem::path file;          // the file read, when there is one
    std::optional<std::string> warning;  // why the file was ignored
};

// The value of `key` in the home's settings file, and whether the file was
// ignored.
ConfigLookup LookUpConfig(std::string_view key);

// The value of `key` (for example `timestamp-url`), or none when the file,
// or the key in it, is missing or the file is ignored (LookUpConfig says
// why).
std::optional<std::string> ConfigValue(std::string_view key);

}  // namespace platform::crypt
