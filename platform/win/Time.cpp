#include "platform/win/Time.h"

#include <chrono>

#include "platform/seams/Seams.h"
#include "platform/win/Failure.h"
#include "platform/win/LastError.h"
#include "platform/win/WinError.h"

namespace platform::win {

std::uint64_t FileTimeValue(const FILETIME& ft) {
    return (std::uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

FILETIME FileTimeFromValue(std::uint64_t value) {
    return FILETIME{static_cast<DWORD>(value & 0xFFFFFFFFu), static_cast<DWORD>(value >> 32)};
}

FILETIME FileTimeFromUnixSeconds(std::int64_t seconds) {
    return FileTimeFromValue(
        static_cast<std::uint64_t>(seconds * 10000000LL + std::int64_t(kUnixEpochAsFileTime)));
}

std::int64_t UnixSecondsFromFileTime(const FILETIME& ft) {
    return (static_cast<std::int64_t>(FileTimeValue(ft)) - std::int64_t(kUnixEpochAsFileTime)) /
           10000000LL;
}

FILETIME CurrentFileTime() {
    if (const auto set = seams::ClockTime()) return FileTimeFromValue(*set);
    using namespace std::chrono;
    const auto since = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    return FileTimeFromValue(static_cast<std::uint64_t>(since / 100) + kUnixEpochAsFileTime);
}

}  // namespace platform::win

using namespace std::chrono;

namespace {

// The calendar fields of a moment (UTC), to the millisecond.
void FillSystemTime(sys_time<milliseconds> at, SYSTEMTIME& st) {
    const auto days = floor<std::chrono::days>(at);
    const year_month_day ymd{days};
    const hh_mm_ss hms{at - days};
    st.wYear = static_cast<WORD>(int(ymd.year()));
    st.wMonth = static_cast<WORD>(unsigned(ymd.month()));
    st.wDayOfWeek = static_cast<WORD>(weekday{days}.c_encoding());
    st.wDay = static_cast<WORD>(unsigned(ymd.day()));
    st.wHour = static_cast<WORD>(hms.hours().count());
    st.wMinute = static_cast<WORD>(hms.minutes().count());
    st.wSecond = static_cast<WORD>(hms.seconds().count());
    st.wMilliseconds = static_cast<WORD>(hms.subseconds().count());
}

}  // namespace

void GetSystemTime(SYSTEMTIME* st) {
    if (st == nullptr) return;
    if (const auto set = platform::seams::ClockTime()) {
        const FILETIME ft = platform::win::FileTimeFromValue(*set);
        if (FileTimeToSystemTime(&ft, st)) return;
    }
    FillSystemTime(floor<milliseconds>(system_clock::now()), *st);
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* st, FILETIME* ft) {
    return platform::GuardedCall("SystemTimeToFileTime", "", [&]() -> BOOL {
        if (st == nullptr || ft == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const year_month_day ymd{year{st->wYear}, month{st->wMonth}, day{st->wDay}};
        if (st->wYear < 1601 || st->wYear > 30827 || !ymd.ok() || st->wHour > 23 ||
            st->wMinute > 59 || st->wSecond > 59 || st->wMilliseconds > 999) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const auto days = sys_days{ymd}.time_since_epoch().count();
        const std::int64_t ms = ((days * 24 + st->wHour) * 60 + st->wMinute) * 60'000LL +
                                st->wSecond * 1000LL + st->wMilliseconds;
        *ft = platform::win::FileTimeFromValue(static_cast<std::uint64_t>(
            ms * 10000 + std::int64_t(platform::win::kUnixEpochAsFileTime)));
        return TRUE;
    });
}

BOOL FileTimeToSystemTime(const FILETIME* ft, SYSTEMTIME* st) {
    return platform::RunGuardedCall("FileTimeToSystemTime", [&]() -> BOOL {
        if (ft == nullptr || st == nullptr || (ft->dwHighDateTime & 0x80000000u) != 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const auto value = static_cast<std::int64_t>(platform::win::FileTimeValue(*ft)) -
                           std::int64_t(platform::win::kUnixEpochAsFileTime);
        const std::int64_t ms = value >= 0 ? value / 10000 : -((-value + 9999) / 10000);
        FillSystemTime(sys_time<milliseconds>{milliseconds{ms}}, *st);
        return TRUE;
    });
}
