#include "platform/com/Activation.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/seams/Seams.h"
#include "platform/text/Utf.h"
#include "platform/win/Failure.h"
#include "platform/win/Files.h"

namespace {

using DllGetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, LPVOID*);
using DllCanUnloadNowFn = HRESULT (*)();

struct ServerModule {
    void* handle = nullptr;
    DllGetClassObjectFn getClassObject = nullptr;
    DllCanUnloadNowFn canUnloadNow = nullptr;
};

std::mutex g_modulesMutex;
std::map<std::string, ServerModule>& Modules() {
    static std::map<std::string, ServerModule> modules;
    return modules;
}

thread_local std::string t_lastError;

HRESULT Fail(HRESULT hr, std::string why) {
    platform::KeepCause(why);
    t_lastError = std::move(why);
    return hr;
}

// A registry that cannot be read or trusted, reported for what it is rather
// than as a class that is not registered.
HRESULT CheckRegistry() {
    try {
        platform::com::registry::Snapshot();
        return S_OK;
    } catch (const platform::com::registry::RegistryError& e) {
        return Fail(HRESULT_FROM_WIN32(DWORD(e.Code())), e.what());
    }
}

// Others may replace a file in a folder they can write to, unless the
// folder is sticky and the file is not theirs.
bool FolderOthersCanChange(const struct stat& st) {
    return !platform::win::TrustedOwner(st.st_uid) ||
           ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0);
}

std::optional<std::string> DefaultValue(const std::string& subkey) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, subkey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::nullopt;
    DWORD type = 0;
    DWORD size = 0;
    std::optional<std::string> text;
    if (RegQueryValueExA(key, nullptr, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        type == REG_SZ) {
        std::string buf(size, '\0');
        if (RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buf.data()),
                             &size) == ERROR_SUCCESS) {
            buf.resize(std::min<std::size_t>(size, buf.size()));
            while (!buf.empty() && buf.back() == '\0') buf.pop_back();
            text = buf;
        }
    }
    RegCloseKey(key);
    return text;
}

// Why the module file is cut short (an interrupted copy, a full disk), or
// nothing. The loader maps each loadable segment as its headers describe it
// and checks no sizes: when the headers survive, the pages past the end of
// the file are mapped all the same, and the first touch of one ends the
// process (SIGBUS). Whatever is no module of this machine's kind is left to
// the loader, which refuses it in words of its own.
std::optional<std::string> CutShort(const std::string& path, off_t size) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    const auto readAt = [fd](void* to, std::size_t n, std::uint64_t at) {
        return ::pread(fd, to, n, off_t(at)) == ssize_t(n);
    };
    const auto end = std::uint64_t(size);
    const auto sum = [](std::uint64_t a, std::uint64_t b) {
        return a > UINT64_MAX - b ? UINT64_MAX : a + b;
    };
    std::uint64_t needed = 0;
    ElfW(Ehdr) header{};
    if (readAt(&header, sizeof header, 0) && std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 &&
        header.e_ident[EI_CLASS] == (sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32) &&
        header.e_phentsize == sizeof(ElfW(Phdr))) {
        needed = sum(header.e_phoff, std::uint64_t(header.e_phnum) * sizeof(ElfW(Phdr)));
        // The program headers in one read when the file holds them all (at
        // most 65,535 of 56 bytes); none are read when it does not.
        std::vector<ElfW(Phdr)> segments;
        if (needed <= end) {
            segments.resize(header.e_phnum);
            if (!readAt(segments.data(), segments.size() * sizeof(ElfW(Phdr)), header.e_phoff))
                segments.clear();
        }
        for (const ElfW(Phdr) & segment : segments)
            if (segment.p_type == PT_LOAD)
                needed = std::max(needed, sum(segment.p_offset, segment.p_filesz));
    }
    ::close(fd);
    if (needed <= end) return std::nullopt;
    return "the module file " + path + " is cut short: it has " + std::to_string(end) +
           " bytes where its headers need " + std::to_string(needed) + "; install it again";
}

}  // namespace

namespace platform::com {
HRESULT CheckModuleFile(const std::string& path, std::string& why) {
    namespace fs = std::filesystem;
    const std::string file = "the module file " + path;
    // A relative path finds whatever file of that name the folder a host
    // happens to run in holds.
    if (path.empty() || path.front() != '/') {
        why = file + " is registered by a relative path; register the module again";
        return HRESULT_FROM_WIN32(ERROR_INVALID_NAME);
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        const int err = errno;
        why = err == ENOENT || err == ENOTDIR ? file + " does not exist"
                                              : "cannot open " + file + ": " + std::strerror(err);
        return HRESULT_FROM_WIN32(err == EACCES ? ERROR_ACCESS_DENIED : ERROR_MOD_NOT_FOUND);
    }
    // Loading a FIFO or a device would block or read what is not a module.
    if (!S_ISREG(st.st_mode)) {
        why = file + " is not a regular file";
        return HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT);
    }
    const bool foreign = !platform::win::TrustedOwner(st.st_uid);
    if (foreign || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        why = file + " has mode " + platform::win::OctalMode(st.st_mode) +
              (foreign ? " and another owner" : "") +
              "; a module that others can change is never loaded (" +
              (foreign ? "install it as your own" : "chmod go-w '" + path + "'") + ")";
        return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    }
    std::error_code ec;
    const fs::path real = fs::canonical(path, ec);
    for (const fs::path& folder : {fs::path(path).parent_path(), real.parent_path()}) {
        if (folder.empty()) continue;
        struct stat dir {};
        if (::stat(folder.c_str(), &dir) == 0 && FolderOthersCanChange(dir)) {
            why = "the folder " + folder.string() + " of " + file + " has mode " +
                  platform::win::OctalMode(dir.st_mode) +
                  (platform::win::TrustedOwner(dir.st_uid) ? "" : " and another owner") +
                  "; a module that others can replace is never loaded";
            return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
        }
    }
    if (auto problem = CutShort(path, st.st_size)) {
        why = std::move(*problem);
        return HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT);
    }
    return S_OK;
}
}  // namespace platform::com

namespace {

// The module loaded for `path`, loading it on first use.
HRESULT LoadServer(const std::string& path, ServerModule& out) {
    std::lock_guard lock(g_modulesMutex);
    if (auto it = Modules().find(path); it != Modules().end()) {
        out = it->second;
        return S_OK;
    }
    std::string why;
    if (const HRESULT hr = platform::com::CheckModuleFile(path, why); FAILED(hr))
        return Fail(hr, why);
    // Every symbol is bound now: a module that needs a function no library
    // provides is refused here, where a lazy binding would end the process
    // at the function's first call.
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = ::dlerror();
        return Fail(HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT),
                    "the module file " + path + " cannot be loaded: " + (why ? why : "unknown"));
    }
    ServerModule module;
    module.handle = handle;
    module.getClassObject =
        reinterpret_cast<DllGetClassObjectFn>(::dlsym(handle, "DllGetClassObject"));
    module.canUnloadNow = reinterpret_cast<DllCanUnloadNowFn>(::dlsym(handle, "DllCanUnloadNow"));
    if (module.getClassObject == nullptr) {
        ::dlclose(handle);
        return Fail(CO_E_ERRORINDLL, "the module file " + path + " has no DllGetClassObject");
    }
    Modules().emplace(path, module);
    out = module;
    return S_OK;
}

// The class object of `rclsid` from the module file `path`. What the module
// answers is passed on, said in words; a success without an object is the
// module's fault, which no caller should meet as a null pointer.
HRESULT ClassObjectFromModule(const std::string& path, REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    ServerModule module;
    if (const HRESULT hr = LoadServer(path, module); FAILED(hr)) return hr;
    const HRESULT hr = module.getClassObject(rclsid, riid, ppv);
    const std::string answered =
        "the module file " + path +
        (FAILED(hr) ? " gave" : " answered DllGetClassObject with success but") +
        " no class object for the class " + platform::com::GuidToString(rclsid);
    if (FAILED(hr)) {
        *ppv = nullptr;
        return Fail(hr, answered);
    }
    if (*ppv == nullptr) return Fail(CO_E_ERRORINDLL, answered);
    return hr;
}

// CoGetClassObject, telling the caller which module file served the class.
HRESULT RegisteredClassObject(REFCLSID rclsid, DWORD dwClsContext, REFIID riid, LPVOID* ppv,
                              std::string& module) {
    *ppv = nullptr;
    t_lastError.clear();
    std::uint32_t injected = 0;
    if (platform::seams::Injected("CoGetClassObject", injected)) return HRESULT(injected);
    const std::string classKey = "CLSID\\" + platform::com::GuidToString(rclsid);
    if ((dwClsContext & CLSCTX_INPROC_SERVER) == 0)
        return Fail(REGDB_E_CLASSNOTREG, "only in-process servers can be activated");
    if (const HRESULT hr = CheckRegistry(); FAILED(hr)) return hr;
    const auto path = DefaultValue(classKey + "\\InprocServer32");
    if (!path || path->empty())
        return Fail(REGDB_E_CLASSNOTREG,
                    "the class " + platform::com::GuidToString(rclsid) + " is not registered");
    module = *path;
    return ClassObjectFromModule(*path, rclsid, riid, ppv);
}

}  // namespace

namespace platform::com {
std::string LastActivationError() {
    return t_lastError;
}
std::size_t LoadedServerModules() {
    std::lock_guard lock(g_modulesMutex);
    return Modules().size();
}
}  // namespace platform::com

HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
    if (lpszProgID == nullptr || lpclsid == nullptr) return HRESULT(E_INVALIDARG);
    *lpclsid = GUID_NULL;
    t_lastError.clear();
    return platform::GuardedHr("CLSIDFromProgID", [&]() -> HRESULT {
        if (const HRESULT hr = CheckRegistry(); FAILED(hr)) return hr;
        std::size_t n = 0;
        while (lpszProgID[n] != 0) ++n;
        const auto progId = platform::com::Utf16ToUtf8Exact(std::u16string_view(lpszProgID, n));
        if (!progId || progId->empty() || progId->find('\\') != std::string::npos)
            return CO_E_CLASSSTRING;
        const auto text = DefaultValue(*progId + "\\CLSID");
        if (!text) {
            // A class name nobody registered is an answer: hosts then look
            // elsewhere, and say so themselves when they find nothing.
            platform::ExpectedResult();
            return CO_E_CLASSSTRING;
        }
        const auto clsid = platform::com::GuidFromString(*text);
        if (!clsid) {
            platform::KeepCause("the class name " + *progId + " is registered with the CLSID \"" +
                                *text + "\", which is no GUID");
            return CO_E_CLASSSTRING;
        }
        *lpclsid = *clsid;
        return S_OK;
    });
}

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    return platform::RunGuardedHr("CoGetClassObject", [&]() -> HRESULT {
        std::string module;
        return RegisteredClassObject(rclsid, dwClsContext, riid, ppv, module);
    });
}

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                         LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    return platform::RunGuardedHr("CoCreateInstance", [&]() -> HRESULT {
        std::string module;
        IClassFactory* factory = nullptr;
        HRESULT hr = RegisteredClassObject(rclsid, dwClsContext, IID_IClassFactory,
                                           reinterpret_cast<void**>(&factory), module);
        if (FAILED(hr)) return hr;
        hr = factory->CreateInstance(pUnkOuter, riid, ppv);
        factory->Release();
        if (FAILED(hr)) {
            *ppv = nullptr;
            return Fail(hr, "the class object of the class " + platform::com::GuidToString(rclsid) +
                                " from the module file " + module + " made no instance");
        }
        return hr;
    });
}

namespace platform::com {
HRESULT GetClassObjectFromModule(const std::string& path, REFCLSID rclsid, REFIID riid,
                                 LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    t_lastError.clear();
    return platform::GuardedHr("CoGetClassObject", [&]() -> HRESULT {
        return ClassObjectFromModule(path, rclsid, riid, ppv);
    });
}
}  // namespace platform::com

void CoFreeUnusedLibraries() {
    std::lock_guard lock(g_modulesMutex);
    for (auto it = Modules().begin(); it != Modules().end();) {
        const ServerModule& m = it->second;
        if (m.canUnloadNow != nullptr && m.canUnloadNow() == S_OK) {
            ::dlclose(m.handle);
            it = Modules().erase(it);
        } else {
            ++it;
        }
    }
}
