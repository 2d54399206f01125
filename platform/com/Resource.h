#pragma once
// Resources of a module: data the module carries in its file (strings,
// bitmaps, icons, dialog templates, its type library, its version block),
// found by type, identifier and language. A module carries them as a
// resource directory in an ELF section of its own (kResourceSection), laid
// out by BuildResourceDirectory; the section is loaded with the module, so a
// loaded module's resources are read in place, and a tool reads the same
// section from the file without loading it.
//
// A module handle is the address the module is loaded at (what dladdr calls
// its base); types and names are integers made with MAKEINTRESOURCE, "#n"
// texts, or names ("TYPELIB").

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/ComError.h"
#include "platform/win/WinTypes.h"

struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;
struct HRSRC__;
using HRSRC = HRSRC__*;
using HGLOBAL = void*;

inline LPCSTR MAKEINTRESOURCEA(WORD id) {
    return reinterpret_cast<LPCSTR>(ULONG_PTR(id));
}
inline bool IS_INTRESOURCE(LPCSTR p) {
    return (ULONG_PTR(p) >> 16) == 0;
}

inline const LPCSTR RT_BITMAP = MAKEINTRESOURCEA(2);
inline const LPCSTR RT_ICON = MAKEINTRESOURCEA(3);
inline const LPCSTR RT_DIALOG = MAKEINTRESOURCEA(5);
inline const LPCSTR RT_STRING = MAKEINTRESOURCEA(6);
inline const LPCSTR RT_GROUP_ICON = MAKEINTRESOURCEA(14);
inline const LPCSTR RT_VERSION = MAKEINTRESOURCEA(16);

inline constexpr WORD LANG_ENGLISH_US = 0x0409;

// Any language: the module's US English resource, else its first.
HRSRC FindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType);
HRSRC FindResourceExA(HMODULE hModule, LPCSTR lpType, LPCSTR lpName, WORD wLanguage);
HGLOBAL LoadResource(HMODULE hModule, HRSRC hResInfo);
DWORD SizeofResource(HMODULE hModule, HRSRC hResInfo);
LPVOID LockResource(HGLOBAL hResData);
// Copies string `uID` (UTF-8), truncated to fit and terminated; returns the
// characters copied, 0 when there is no such string. A zero `cchBufferMax`
// hands out a read-only pointer to the text through `lpBuffer`.
int LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax);

// The file a loaded module was loaded from (the program's own for its base);
// returns the length copied, 0 on failure (last error set).
DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);

namespace platform::com {

// The section of a module file that holds its resource directory.
inline constexpr const char* kResourceSection = ".ostrel_rsrc";

// The handle of the module whose code holds `address`; null when none does.
HMODULE ModuleOfAddress(const void* address);
// The file a loaded module came from, or nothing.
std::optional<std::string> ModuleFileName(HMODULE hModule);

struct ResourceEntry {
    std::string type;  // "#n" for an integer type, else its name
    std::uint32_t id = 0;
    std::uint16_t lang = LANG_ENGLISH_US;
    std::span<const BYTE> data;
};

// The text form of a type or name argument: "#n" or the name itself.
std::string ResourceKey(LPCSTR typeOrName);

// A resource directory in its binary form (little-endian): the magic
// "OSRSRC1\0", a 32-bit count, the entries (type padded to 16 bytes, id,
// language, offset, size) and then the data, each item 8-byte aligned.
std::vector<BYTE> BuildResourceDirectory(const std::vector<ResourceEntry>& entries);
// Reads a directory; nothing when it is damaged (a bad magic, an entry
// outside the bytes, or entries whose data together is more than the bytes
// after their table hold). The entries point into `bytes`.
std::optional<std::vector<ResourceEntry>> ParseResourceDirectory(std::span<const BYTE> bytes);

// Facts of a module file read from its ELF headers (checked, and bounded by
// the file's size: each part is read once, and a file whose headers point
// at the same bytes again is refused; the file is never loaded, and only a
// regular file is opened).
struct ModuleFileInfo {
    std::vector<std::string> exports;  // defined dynamic function symbols, sorted
    std::vector<BYTE> resources;       // the resource section, empty when none
};
// S_OK, or ERROR_FILE_NOT_FOUND / ERROR_BAD_EXE_FORMAT as an HRESULT; `error`
// says why in words.
HRESULT ReadModuleFile(const std::string& path, ModuleFileInfo& info, std::string* error = nullptr);

// Whether the file starts as a module file (ELF) does.
bool IsModuleFile(const std::string& path);

// The resource of a module file, copied out; nothing when it has none.
std::optional<std::vector<BYTE>> ReadFileResource(const std::string& path, std::string_view type,
                                                  std::uint32_t id);

}  // namespace platform::com
