#pragma once
// What every fuzz target shares: a check that stops the run with a message,
// a private home for the targets whose parser reads files, and the bytes of
// an input as text.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace ostrel::fuzz {

// Stops the run (abort, which libFuzzer reports as a finding) when a
// property that must hold for every input does not.
void Check(bool condition, const char* what);

// A folder of this process's own, made on first use and removed at exit,
// set as OSTREL_HOME (and as the configuration and data homes) so that
// nothing a target does touches the user's files or another process's.
const std::filesystem::path& PrivateHome();

// Writes `bytes` to a new file `path` (replacing any) with mode 0600.
void WriteFile(const std::filesystem::path& path, std::string_view bytes);

inline std::string_view Text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// The IEEE CRC-32 that the saved-state and type-library formats carry, so
// that a target can mend it and let mutated bodies reach the parser.
std::uint32_t Crc32(const std::uint8_t* data, std::size_t size);
void PutU32(std::uint8_t* at, std::uint32_t value);

}  // namespace ostrel::fuzz
