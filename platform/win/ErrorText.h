#pragma once
// The system's descriptions of error codes.

#include <optional>
#include <string_view>

#include "platform/win/WinTypes.h"

inline constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x100;
inline constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x200;
inline constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;

inline constexpr WORD LANG_NEUTRAL = 0x00;
inline constexpr WORD SUBLANG_DEFAULT = 0x01;
constexpr DWORD MAKELANGID(WORD primary, WORD sub) {
    return (DWORD(sub) << 10) | primary;
}

// With FORMAT_MESSAGE_ALLOCATE_BUFFER, `lpBuffer` is the address of a char
// pointer that receives a buffer to be released with LocalFree. Returns the
// number of characters written, or 0 (pointer left unset) when the code has no
// description or the flags ask for something this platform does not offer.
DWORD FormatMessageA(DWORD dwFlags, const void* lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                     LPSTR lpBuffer, DWORD nSize, void* arguments);

HLOCAL LocalFree(HLOCAL hMem);

// The description of a code without its line break, for tools that print it.
std::optional<std::string_view> SystemErrorDescription(DWORD code);
