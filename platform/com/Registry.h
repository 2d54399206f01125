#pragma once
// The per-user registry: keys and values kept in one text file in the
// registry-export format. Class registrations live under the user's classes
// root (HKEY_CLASSES_ROOT is HKEY_CURRENT_USER\Software\Classes). Every change
// is made under an exclusive lock by reading the file, changing it and writing
// a new one that replaces the old by rename, so a crash or two writers at once
// never leave a torn file or lose an entry. A damaged file is refused with
// ERROR_BADDB and never overwritten.
//
// Whoever can write the registry chooses the code every host loads, so the
// file and its folder must be the user's own and writable by nobody else
// (ERROR_ACCESS_DENIED otherwise); they are made 0600 and 0700.

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win/Failure.h"
#include "platform/win/WinError.h"
#include "platform/win/WinTypes.h"

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using LSTATUS = LONG;
using REGSAM = DWORD;

inline HKEY const HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(ULONG_PTR(0x80000000));
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(ULONG_PTR(0x80000001));

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;

inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

inline constexpr LONG ERROR_NO_MORE_ITEMS = 259;
inline constexpr LONG ERROR_BADDB = 1009;
inline constexpr LONG ERROR_BADKEY = 1010;
inline constexpr LONG ERROR_CANTOPEN = 1011;
inline constexpr LONG ERROR_CANTREAD = 1012;
inline constexpr LONG ERROR_CANTWRITE = 1013;
inline constexpr LONG ERROR_KEY_HAS_CHILDREN = 1020;

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                        REGSAM samDesired, void* lpSecurityAttributes, PHKEY phkResult,
                        DWORD* lpdwDisposition);
LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                      PHKEY phkResult);
LSTATUS RegCloseKey(HKEY hKey);
LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                       const BYTE* lpData, DWORD cbData);
// Sets the default value of a subkey (created when missing) to a text.
LSTATUS RegSetValueA(HKEY hKey, LPCSTR lpSubKey, DWORD dwType, LPCSTR lpData, DWORD cbData);
LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, DWORD* lpReserved, DWORD* lpType,
                         BYTE* lpData, DWORD* lpcbData);
LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD* lpcchName, DWORD* lpReserved,
                      LPSTR lpClass, DWORD* lpcchClass, FILETIME* lpftLastWrite);
// Deletes a key that has no subkeys.
LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
// Deletes a key with everything below it (a null subkey: everything below hKey).
LSTATUS RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey);

namespace platform::com::registry {

// The platform's limits, kept on reading and on writing alike so that no
// caller can write a file that the next reader refuses.
inline constexpr std::size_t kMaxKeyDepth = 512;           // names in a key's full path
inline constexpr std::size_t kMaxKeyNameLength = 255;      // characters of one key name
inline constexpr std::size_t kMaxValueNameLength = 16383;  // characters of a value name

// Why `path` (a full path, names joined by '\\') cannot name a key, or
// nothing when it can.
std::optional<std::string> KeyPathProblem(std::string_view path);
// Why `name` cannot name a value, or nothing when it can.
std::optional<std::string> ValueNameProblem(std::string_view name);

struct Value {
    std::string name;  // empty: the key's default value
    DWORD type = REG_SZ;
    std::vector<BYTE> data;
    std::string Text() const;  // the data of a string value, without its terminator
};

struct Key {
    std::string path;  // as first written, e.g. HKEY_CURRENT_USER\Software\Classes\CLSID
    std::vector<Value> values;
};

// The whole registry in memory. Keys and value names compare without regard
// to case, as the platform's do.
class Hive {
public:
    // The form a key path is kept under, A-Z lowered; value names are
    // compared with platform::text::EqualsNoCase, which folds the same way.
    static std::string Fold(std::string_view text);

    // Parses the text form; throws RegistryError(ERROR_BADDB) naming the line.
    static Hive Parse(std::string_view text, const std::string& source);
    std::string Format() const;

    Key* Find(std::string_view path);
    const Key* Find(std::string_view path) const;
    // The key, created with its missing parents; `created` tells whether it was
    // new. RegistryError(ERROR_INVALID_PARAMETER) for a path no key may have.
    Key& Create(std::string_view path, bool* created = nullptr);
    // Names of the direct subkeys, in order.
    std::vector<std::string> Subkeys(std::string_view path) const;
    // Removes the key and everything below it; false when there was no key.
    bool Remove(std::string_view path);

    const std::map<std::string, Key>& Keys() const { return m_keys; }

private:
    // Create without the check of the path. Adds to `implied` the length of
    // the paths of the parents it has to make; null, and nothing made, when
    // that would pass `impliedLimit`.
    Key* Insert(std::string_view path, bool* created, std::size_t& implied,
                std::size_t impliedLimit);

    std::map<std::string, Key> m_keys;  // by folded path
};

// A failure of the registry file, with the status that describes it.
using RegistryError = platform::Failure;

// OSTREL_HOME/registry.reg, else ${XDG_CONFIG_HOME:-~/.config}/ostrel/registry.reg.
std::filesystem::path RegistryFile();

// Creates the registry's folder (mode 0700) where it is missing and returns
// it; refuses a folder that is not the user's own or that others may write to.
std::filesystem::path MakeRegistryFolder();

// The registry as the file holds it now (empty when there is no file yet).
Hive Load();
// The same, shared: the parsed file is kept while the file stays the same.
std::shared_ptr<const Hive> Snapshot();
// Runs `change` on the registry under the exclusive lock and writes the result
// atomically when `change` returns true.
void Update(const std::function<bool(Hive&)>& change);

// When the registry file is damaged, moves it aside as
// `<file>.damaged-<UTC time, YYYYMMDDTHHMMSSZ>` (the file a symbolic link
// points to is moved, beside itself) and puts an empty registry in its place;
// returns where the damaged file went. A sound file, or none, is left as it
// is (nothing returned); a file refused for its owner or mode is reported.
std::optional<std::filesystem::path> MoveDamagedFileAside();

// The full path a predefined root stands for, or nullopt for an unknown one.
std::optional<std::string> RootPath(HKEY root);

}  // namespace platform::com::registry
