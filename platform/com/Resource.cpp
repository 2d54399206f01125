#include "platform/com/Resource.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "platform/seams/Seams.h"
#include "platform/win/Failure.h"
#include "platform/win/Files.h"
#include "platform/win/LastError.h"

namespace platform::com {
namespace {

constexpr char kMagic[8] = {'O', 'S', 'R', 'S', 'R', 'C', '1', '\0'};
constexpr std::size_t kTypeField = 16;
constexpr std::size_t kEntrySize = kTypeField + 4 + 4 + 4 + 4;
// No module of ours comes near this; anything larger is not one.
constexpr std::uint64_t kMaxModuleFile = std::uint64_t(1) << 31;
constexpr std::uint64_t kMaxSection = std::uint64_t(64) << 20;

void Put32(std::vector<BYTE>& out, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = BYTE(v >> (8 * i));
}
std::uint32_t Get32(const BYTE* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}
std::size_t Align8(std::size_t n) {
    return (n + 7) & ~std::size_t(7);
}

// One regular file read at checked offsets. Opening never blocks: a FIFO,
// a device or a folder is refused as not a regular file.
class FileReader {
public:
    explicit FileReader(const std::string& path) {
        try {
            m_fd = win::OpenRegularFile(path, path);
        } catch (const win::FileError& e) {
            m_error = e.Error();
            m_why = e.what();
            return;
        }
        struct stat st {};
        if (::fstat(m_fd, &st) == 0) m_size = std::uint64_t(st.st_size);
    }
    ~FileReader() {
        if (m_fd >= 0) ::close(m_fd);
    }
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    bool Open() const { return m_fd >= 0; }
    // Why it could not be opened: EINVAL for what is not a regular file.
    int Error() const { return m_error; }
    const std::string& Why() const { return m_why; }
    std::uint64_t Size() const { return m_size; }
    bool Read(std::uint64_t offset, void* out, std::uint64_t count) const {
        if (m_fd < 0 || offset > m_size || count > m_size - offset) return false;
        auto* p = static_cast<char*>(out);
        while (count > 0) {
            const ssize_t n = ::pread(m_fd, p, count, off_t(offset));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            p += n;
            offset += std::uint64_t(n);
            count -= std::uint64_t(n);
        }
        return true;
    }

private:
    int m_fd = -1;
    int m_error = 0;
    std::string m_why;
    std::uint64_t m_size = 0;
};

// In a sound module file the parts read here (the file header, the section
// headers and their names, one dynamic symbol table with its strings, the
// resource section) lie side by side, so together they are no larger than
// the file. Headers that send the reader over the same bytes again and again
// run out of this allowance instead of growing without end.
class ReadAllowance {
public:
    explicit ReadAllowance(std::uint64_t fileSize) : m_left(fileSize) {}
    bool Take(std::uint64_t bytes) {
        if (bytes > m_left) return false;
        m_left -= bytes;
        return true;
    }

private:
    std::uint64_t m_left;
};

struct SectionFacts {
    Elf64_Shdr header{};
    bool found = false;
};

// The section headers and their names; false with a reason for anything
// that is not a sound 64-bit little-endian ELF file.
bool ReadSections(const FileReader& file, ReadAllowance& allowance, Elf64_Ehdr& eh,
                  std::vector<Elf64_Shdr>& sections, std::vector<char>& names, std::string& why) {
    if (file.Size() > kMaxModuleFile) return why = "file too large", false;
    if (!file.Read(0, &eh, sizeof eh) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0)
        return why = "not an ELF file", false;
    if (eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_ident[EI_DATA] != ELFDATA2LSB)
        return why = "not a 64-bit little-endian ELF file", false;
    if (eh.e_shentsize != sizeof(Elf64_Shdr) || eh.e_shnum == 0 || eh.e_shstrndx >= eh.e_shnum)
        return why = "no usable section headers", false;
    const std::uint64_t headerBytes = std::uint64_t(eh.e_shnum) * sizeof(Elf64_Shdr);
    if (!allowance.Take(sizeof eh) || !allowance.Take(headerBytes))
        return why = "section headers outside the file", false;
    sections.resize(eh.e_shnum);
    if (!file.Read(eh.e_shoff, sections.data(), headerBytes))
        return why = "section headers outside the file", false;
    const Elf64_Shdr& strtab = sections[eh.e_shstrndx];
    if (strtab.sh_size > kMaxSection) return why = "section names too large", false;
    if (!allowance.Take(strtab.sh_size)) return why = "section names outside the file", false;
    names.assign(strtab.sh_size + 1, '\0');
    if (!file.Read(strtab.sh_offset, names.data(), strtab.sh_size))
        return why = "section names outside the file", false;
    return true;
}

const char* NameAt(const std::vector<char>& table, std::uint64_t offset) {
    return offset < table.size() ? table.data() + offset : "";
}

bool ReadSectionBytes(const FileReader& file, ReadAllowance& allowance, const Elf64_Shdr& s,
                      std::vector<BYTE>& out) {
    if (s.sh_type == SHT_NOBITS || s.sh_size > kMaxSection || !allowance.Take(s.sh_size))
        return false;
    out.resize(s.sh_size);
    return file.Read(s.sh_offset, out.data(), s.sh_size);
}

// A loaded module: where it lies in memory and its resource directory.
struct LoadedModule {
    std::string file;
    std::vector<ResourceEntry> entries;
};

struct PhdrQuery {
    ULONG_PTR base = 0;
    ElfW(Addr) loadBias = 0;
    std::string name;
    std::vector<std::pair<ULONG_PTR, ULONG_PTR>> segments;  // [start, end) in memory
    bool found = false;
};

int MatchObject(struct dl_phdr_info* info, size_t, void* data) {
    auto* q = static_cast<PhdrQuery*>(data);
    bool holds = false;
    std::vector<std::pair<ULONG_PTR, ULONG_PTR>> segments;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD) continue;
        const ULONG_PTR start = info->dlpi_addr + ph.p_vaddr;
        const ULONG_PTR end = start + ph.p_memsz;
        segments.emplace_back(start, end);
        if (q->base >= start && q->base < end) holds = true;
    }
    if (!holds) return 0;
    q->loadBias = info->dlpi_addr;
    q->name = info->dlpi_name != nullptr ? info->dlpi_name : "";
    q->segments = std::move(segments);
    q->found = true;
    return 1;
}

std::mutex g_modulesMutex;
std::map<ULONG_PTR, std::shared_ptr<const LoadedModule>>& Modules() {
    static std::map<ULONG_PTR, std::shared_ptr<const LoadedModule>> modules;
    return modules;
}

// The module at `hModule`, its resources read in place; null (last error
// set) when it is not a loaded module.
std::shared_ptr<const LoadedModule> Loaded(HMODULE hModule) {
    const auto base = ULONG_PTR(hModule);
    {
        std::lock_guard lock(g_modulesMutex);
        if (auto it = Modules().find(base); it != Modules().end()) return it->second;
    }
    PhdrQuery q;
    q.base = base;
    dl_iterate_phdr(&MatchObject, &q);
    if (!q.found || base == 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    auto module = std::make_shared<LoadedModule>();
    module->file = q.name.empty() ? std::string("/proc/self/exe") : q.name;
    if (q.name.empty()) {
        char buf[4096];
        const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
        if (n > 0) module->file.assign(buf, std::size_t(n));
    }
    FileReader file(module->file);
    ReadAllowance allowance(file.Size());
    Elf64_Ehdr eh{};
    std::vector<Elf64_Shdr> sections;
    std::vector<char> names;
    std::string why;
    if (file.Open() && ReadSections(file, allowance, eh, sections, names, why)) {
        for (const auto& s : sections) {
            if (std::strcmp(NameAt(names, s.sh_name), kResourceSection) != 0) continue;
            if ((s.sh_flags & SHF_ALLOC) == 0 || s.sh_size > kMaxSection) break;
            const ULONG_PTR start = q.loadBias + s.sh_addr;
            const bool mapped = std::any_of(q.segments.begin(), q.segments.end(), [&](auto seg) {
                return start >= seg.first && s.sh_size <= seg.second - start;
            });
            if (!mapped) break;
            const auto parsed = ParseResourceDirectory(
                std::span<const BYTE>(reinterpret_cast<const BYTE*>(start), s.sh_size));
            if (parsed) module->entries = *parsed;
            break;
        }
    }
    std::lock_guard lock(g_modulesMutex);
    auto [it, inserted] = Modules().emplace(base, std::move(module));
    return it->second;
}

const ResourceEntry* Find(const LoadedModule& m, const std::string& type, std::uint32_t id,
                          std::optional<WORD> lang) {
    const ResourceEntry* any = nullptr;
    for (const auto& e : m.entries) {
        if (e.type != type || e.id != id) continue;
        if (lang) {
            if (e.lang == *lang) return &e;
            continue;
        }
        if (e.lang == LANG_ENGLISH_US) return &e;
        if (any == nullptr) any = &e;
    }
    return any;
}

std::optional<std::uint32_t> NameId(LPCSTR name) {
    if (IS_INTRESOURCE(name)) return std::uint32_t(ULONG_PTR(name));
    if (name[0] != '#') return std::nullopt;
    std::uint32_t v = 0;
    for (const char* p = name + 1; *p != 0; ++p) {
        if (*p < '0' || *p > '9' || v > 0xFFFF) return std::nullopt;
        v = v * 10 + std::uint32_t(*p - '0');
    }
    return v;
}

HRSRC FindImpl(HMODULE hModule, LPCSTR lpType, LPCSTR lpName, std::optional<WORD> lang) {
    return platform::GuardedCall(
        "FindResourceA", "",
        [&]() -> HRSRC {
            if (lpType == nullptr || lpName == nullptr) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return nullptr;
            }
            const auto module = Loaded(hModule);
            if (!module) return nullptr;
            const auto id = NameId(lpName);
            if (!id) {
                SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
                return nullptr;
            }
            const std::string type = ResourceKey(lpType);
            const ResourceEntry* found = Find(*module, type, *id, lang);
            if (found == nullptr) {
                const bool typeKnown = std::any_of(module->entries.begin(), module->entries.end(),
                                                   [&](const auto& e) { return e.type == type; });
                SetLastError(!typeKnown ? ERROR_RESOURCE_TYPE_NOT_FOUND
                             : lang     ? ERROR_RESOURCE_LANG_NOT_FOUND
                                        : ERROR_RESOURCE_NAME_NOT_FOUND);
                return nullptr;
            }
            // Entries live as long as the process: modules are cached, never dropped.
            return reinterpret_cast<HRSRC>(const_cast<ResourceEntry*>(found));
        },
        DWORD(ERROR_NOT_ENOUGH_MEMORY), DWORD(ERROR_NOT_ENOUGH_MEMORY));
}

}  // namespace

std::string ResourceKey(LPCSTR typeOrName) {
    if (!IS_INTRESOURCE(typeOrName)) return typeOrName;
    // Built in place: GCC 12 at -O3 warns falsely of an overlapping copy in
    // "#" + std::to_string(...).
    std::string key(1, '#');
    key += std::to_string(ULONG_PTR(typeOrName));
    return key;
}

std::vector<BYTE> BuildResourceDirectory(const std::vector<ResourceEntry>& entries) {
    std::vector<BYTE> out(Align8(sizeof kMagic + 4 + entries.size() * kEntrySize));
    std::memcpy(out.data(), kMagic, sizeof kMagic);
    Put32(out, sizeof kMagic, std::uint32_t(entries.size()));
    std::size_t at = sizeof kMagic + 4;
    for (const auto& e : entries) {
        const std::size_t offset = out.size();
        out.insert(out.end(), e.data.begin(), e.data.end());
        out.resize(Align8(out.size()));
        std::memcpy(out.data() + at, e.type.data(), std::min(e.type.size(), kTypeField - 1));
        Put32(out, at + kTypeField, e.id);
        Put32(out, at + kTypeField + 4, e.lang);
        Put32(out, at + kTypeField + 8, std::uint32_t(offset));
        Put32(out, at + kTypeField + 12, std::uint32_t(e.data.size()));
        at += kEntrySize;
    }
    return out;
}

std::optional<std::vector<ResourceEntry>> ParseResourceDirectory(std::span<const BYTE> bytes) {
    if (bytes.size() < sizeof kMagic + 4 || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0)
        return std::nullopt;
    const std::uint64_t count = Get32(bytes.data() + sizeof kMagic);
    if (count > (bytes.size() - sizeof kMagic - 4) / kEntrySize) return std::nullopt;
    // The data of the entries lies side by side after their table, so all of
    // it together fits there: entries that point at the same bytes over and
    // over would make every reader of the directory do their work again.
    std::uint64_t dataLeft = bytes.size() - sizeof kMagic - 4 - count * kEntrySize;
    std::vector<ResourceEntry> entries;
    entries.reserve(count);
    const BYTE* p = bytes.data() + sizeof kMagic + 4;
    for (std::uint64_t i = 0; i < count; ++i, p += kEntrySize) {
        ResourceEntry e;
        const char* type = reinterpret_cast<const char*>(p);
        e.type.assign(type, strnlen(type, kTypeField));
        e.id = Get32(p + kTypeField);
        e.lang = std::uint16_t(Get32(p + kTypeField + 4));
        const std::uint64_t offset = Get32(p + kTypeField + 8);
        const std::uint64_t size = Get32(p + kTypeField + 12);
        if (offset > bytes.size() || size > bytes.size() - offset || size > dataLeft)
            return std::nullopt;
        dataLeft -= size;
        e.data = bytes.subspan(offset, size);
        entries.push_back(std::move(e));
    }
    return entries;
}

HMODULE ModuleOfAddress(const void* address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0) return nullptr;
    return reinterpret_cast<HMODULE>(info.dli_fbase);
}

std::optional<std::string> ModuleFileName(HMODULE hModule) {
    try {
        const auto module = Loaded(hModule);
        if (!module) return std::nullopt;
        return module->file;
    } catch (...) {
        return std::nullopt;
    }
}

HRESULT ReadModuleFile(const std::string& path, ModuleFileInfo& info, std::string* error) {
    std::string why;
    const auto fail = [&](DWORD code, std::string reason) {
        if (error != nullptr) *error = path + ": " + reason;
        return HRESULT(0x80070000 | code);
    };
    return platform::RunGuardedHr("ReadModuleFile", [&]() -> HRESULT {
        FileReader file(path);
        if (!file.Open() && file.Error() == EINVAL)
            return fail(ERROR_BAD_EXE_FORMAT, "not a regular file");
        if (!file.Open()) return fail(ERROR_FILE_NOT_FOUND, std::strerror(file.Error()));
        ReadAllowance allowance(file.Size());
        Elf64_Ehdr eh{};
        std::vector<Elf64_Shdr> sections;
        std::vector<char> names;
        if (!ReadSections(file, allowance, eh, sections, names, why))
            return fail(ERROR_BAD_EXE_FORMAT, why);
        info = {};
        bool resourcesSeen = false, symbolsSeen = false;
        // The names handed out are bounded as the bytes read are: names may
        // share their tails within the string table, but never by more than
        // the rest of the file holds.
        std::uint64_t nameBytesLeft = file.Size();
        for (const auto& s : sections) {
            const char* name = NameAt(names, s.sh_name);
            if (std::strcmp(name, kResourceSection) == 0) {
                if (resourcesSeen)
                    return fail(ERROR_BAD_EXE_FORMAT, "more than one resource section");
                resourcesSeen = true;
                if (!ReadSectionBytes(file, allowance, s, info.resources) ||
                    !ParseResourceDirectory(info.resources))
                    return fail(ERROR_BAD_EXE_FORMAT, "damaged resource section");
            }
            if (s.sh_type != SHT_DYNSYM) continue;
            if (symbolsSeen)
                return fail(ERROR_BAD_EXE_FORMAT, "more than one dynamic symbol table");
            symbolsSeen = true;
            if (s.sh_entsize != sizeof(Elf64_Sym) || s.sh_link >= sections.size())
                return fail(ERROR_BAD_EXE_FORMAT, "damaged dynamic symbol table");
            std::vector<BYTE> symbols, strings;
            if (!ReadSectionBytes(file, allowance, s, symbols) ||
                !ReadSectionBytes(file, allowance, sections[s.sh_link], strings))
                return fail(ERROR_BAD_EXE_FORMAT,
                            "dynamic symbols outside the file, or over bytes already read");
            strings.push_back(0);
            for (std::size_t at = 0; at + sizeof(Elf64_Sym) <= symbols.size();
                 at += sizeof(Elf64_Sym)) {
                Elf64_Sym sym{};
                std::memcpy(&sym, symbols.data() + at, sizeof sym);
                if (sym.st_shndx == SHN_UNDEF || ELF64_ST_TYPE(sym.st_info) != STT_FUNC) continue;
                if (ELF64_ST_BIND(sym.st_info) == STB_LOCAL) continue;
                if (sym.st_name >= strings.size()) continue;
                const char* text = reinterpret_cast<const char*>(strings.data()) + sym.st_name;
                const std::size_t length = std::strlen(text);
                if (length + 1 > nameBytesLeft)
                    return fail(ERROR_BAD_EXE_FORMAT, "dynamic symbol names larger than the file");
                nameBytesLeft -= length + 1;
                info.exports.emplace_back(text, length);
            }
        }
        std::sort(info.exports.begin(), info.exports.end());
        return S_OK;
    });
}

bool IsModuleFile(const std::string& path) {
    FileReader file(path);
    unsigned char magic[SELFMAG] = {};
    return file.Open() && file.Read(0, magic, SELFMAG) && std::memcmp(magic, ELFMAG, SELFMAG) == 0;
}

std::optional<std::vector<BYTE>> ReadFileResource(const std::string& path, std::string_view type,
                                                  std::uint32_t id) {
    ModuleFileInfo info;
    if (FAILED(ReadModuleFile(path, info))) return std::nullopt;
    const auto entries = ParseResourceDirectory(info.resources);
    if (!entries) return std::nullopt;
    const ResourceEntry* any = nullptr;
    for (const auto& e : *entries)
        if (e.type == type && e.id == id && (any == nullptr || e.lang == LANG_ENGLISH_US)) any = &e;
    if (any == nullptr) return std::nullopt;
    return std::vector<BYTE>(any->data.begin(), any->data.end());
}

}  // namespace platform::com

using platform::com::ResourceEntry;

HRSRC FindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType) {
    return platform::com::FindImpl(hModule, lpType, lpName, std::nullopt);
}

HRSRC FindResourceExA(HMODULE hModule, LPCSTR lpType, LPCSTR lpName, WORD wLanguage) {
    return platform::com::FindImpl(hModule, lpType, lpName, wLanguage);
}

HGLOBAL LoadResource(HMODULE, HRSRC hResInfo) {
    return platform::RunGuardedCall("LoadResource", [&]() -> HGLOBAL {
        if (hResInfo == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        const auto* entry = reinterpret_cast<const ResourceEntry*>(hResInfo);
        return const_cast<BYTE*>(entry->data.data());
    });
}

// An empty resource has the size 0 without a failure.
DWORD SizeofResource(HMODULE, HRSRC hResInfo) {
    return platform::RunGuardedEntry(
        "SizeofResource",
        [&](const platform::Entry& entry) -> DWORD {
            if (hResInfo == nullptr) {
                entry.Fail(ERROR_INVALID_HANDLE);
                return 0;
            }
            return DWORD(reinterpret_cast<const ResourceEntry*>(hResInfo)->data.size());
        },
        [] { return DWORD(0); });
}

LPVOID LockResource(HGLOBAL hResData) {
    return hResData;
}

// A string the module does not hold gives 0 and leaves the last-error code
// as it was.
int LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
    return platform::RunGuardedEntry(
        "LoadStringA",
        [&](const platform::Entry& entry) -> int {
            if (lpBuffer == nullptr) {
                entry.Fail(ERROR_INVALID_PARAMETER);
                return 0;
            }
            HRSRC found = FindResourceA(hInstance, MAKEINTRESOURCEA(WORD(uID)), RT_STRING);
            if (found == nullptr || uID > 0xFFFF) {
                if (cchBufferMax > 0) lpBuffer[0] = 0;
                return 0;
            }
            const auto* resource = reinterpret_cast<const ResourceEntry*>(found);
            // Strings are stored with their terminator.
            const std::size_t length = strnlen(reinterpret_cast<const char*>(resource->data.data()),
                                               resource->data.size());
            if (cchBufferMax == 0) {
                *reinterpret_cast<const char**>(lpBuffer) =
                    reinterpret_cast<const char*>(resource->data.data());
                return int(length);
            }
            if (cchBufferMax < 0) {
                entry.Fail(ERROR_INVALID_PARAMETER);
                return 0;
            }
            const std::size_t n = std::min(length, std::size_t(cchBufferMax - 1));
            std::memcpy(lpBuffer, resource->data.data(), n);
            lpBuffer[n] = 0;
            return int(n);
        },
        [] { return 0; });
}

// A name cut short to the buffer comes with ERROR_INSUFFICIENT_BUFFER and
// the size of the buffer, as a result.
DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    return platform::GuardedCall("GetModuleFileNameA", "", [&]() -> DWORD {
        if (lpFilename == nullptr || nSize == 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        const auto file = platform::com::ModuleFileName(hModule);
        if (!file) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        if (file->size() >= nSize) {
            std::memcpy(lpFilename, file->data(), nSize - 1);
            lpFilename[nSize - 1] = 0;
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return nSize;
        }
        std::memcpy(lpFilename, file->c_str(), file->size() + 1);
        return DWORD(file->size());
    });
}
