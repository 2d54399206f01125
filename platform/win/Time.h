#pragma once
// The system clock and the conversions between its time records.

#include <cstdint>

#include "platform/win/WinTypes.h"

void GetSystemTime(SYSTEMTIME* lpSystemTime);
BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, FILETIME* lpFileTime);
BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, SYSTEMTIME* lpSystemTime);

namespace platform::win {
// 100-nanosecond intervals between 1601-01-01 and 1970-01-01.
inline constexpr std::uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;

std::uint64_t FileTimeValue(const FILETIME& ft);
FILETIME FileTimeFromValue(std::uint64_t value);
FILETIME FileTimeFromUnixSeconds(std::int64_t seconds);
std::int64_t UnixSecondsFromFileTime(const FILETIME& ft);
FILETIME CurrentFileTime();
}  // namespace platform::win
