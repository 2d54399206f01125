#include "platform/crypt/Provider.h"

#include <sys/stat.h>

#include <cerrno>
#include <mutex>
#include <unordered_map>

#include "platform/crypt/Store.h"
#include "platform/seams/Seams.h"
#include "platform/win/Failure.h"
#include "platform/win/LastError.h"
#include "platform/win/WinError.h"

namespace platform::crypt {
namespace {

struct ProviderRecord {
    std::filesystem::path container;
};

std::mutex g_mutex;
std::unordered_map<HCRYPTPROV, std::unique_ptr<ProviderRecord>> g_providers;

HCRYPTPROV Register(std::unique_ptr<ProviderRecord> record) {
    const auto handle = reinterpret_cast<HCRYPTPROV>(record.get());
    std::lock_guard lock(g_mutex);
    g_providers.emplace(handle, std::move(record));
    seams::CountLive(seams::Live::Provider, +1);
    return handle;
}

bool IsFolder(const std::filesystem::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool ContainerOf(HCRYPTPROV provider, std::filesystem::path& container) {
    std::lock_guard lock(g_mutex);
    const auto it = g_providers.find(provider);
    if (it == g_providers.end()) {
        SetLastError(NTE_BAD_UID);
        return false;
    }
    container = it->second->container;
    return true;
}

}  // namespace platform::crypt

using namespace platform::crypt;

BOOL CryptAcquireContextA(HCRYPTPROV* phProv, LPCSTR szContainer, LPCSTR szProvider,
                          DWORD dwProvType, DWORD dwFlags) {
    const std::string trace =
        platform::seams::Tracing() ? "CryptAcquireContextA " + std::to_string(dwFlags) : "";
    return platform::GuardedCall("CryptAcquireContextA", trace, [&]() -> BOOL {
        if (phProv == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (dwProvType != PROV_RSA_FULL) {
            SetLastError(NTE_BAD_PROV_TYPE);
            return FALSE;
        }
        // One provider, one default container: named ones are not offered.
        if ((szProvider != nullptr && *szProvider != '\0') ||
            (szContainer != nullptr && *szContainer != '\0')) {
            SetLastError(NTE_BAD_KEYSET_PARAM);
            return FALSE;
        }
        const DWORD kind = dwFlags & ~CRYPT_SILENT;
        if (kind != 0 && kind != CRYPT_NEWKEYSET && kind != CRYPT_VERIFYCONTEXT) {
            SetLastError(NTE_BAD_FLAGS);
            return FALSE;
        }
        auto record = std::make_unique<ProviderRecord>();
        record->container = OstrelHome();
        if (kind == 0 && !IsFolder(record->container)) {
            SetLastError(NTE_BAD_KEYSET);
            return FALSE;
        }
        if (kind == CRYPT_NEWKEYSET) {
            if (IsFolder(record->container)) {
                SetLastError(NTE_EXISTS);
                return FALSE;
            }
            std::error_code ec;
            if (record->container.has_parent_path())
                std::filesystem::create_directories(record->container.parent_path(), ec);
            if (::mkdir(record->container.c_str(), 0700) != 0 && errno != EEXIST) {
                SetLastError(errno == EACCES ? NTE_PERM : NTE_FAIL);
                return FALSE;
            }
        }
        *phProv = Register(std::move(record));
        return TRUE;
    });
}

BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
    platform::seams::Trace("CryptReleaseContext");
    return platform::RunGuardedCall("CryptReleaseContext", [&]() -> BOOL {
        std::unique_ptr<ProviderRecord> record;
        {
            std::lock_guard lock(g_mutex);
            const auto it = g_providers.find(hProv);
            if (it == g_providers.end()) {
                SetLastError(NTE_BAD_UID);
                return FALSE;
            }
            record = std::move(it->second);
            g_providers.erase(it);
        }
        platform::seams::CountLive(platform::seams::Live::Provider, -1);
        // A scripted failure still releases the context: the caller cannot do
        // anything more with it either way.
        std::uint32_t injected = 0;
        if (platform::seams::Injected("CryptReleaseContext", injected)) {
            SetLastError(injected);
            return FALSE;
        }
        if (dwFlags != 0) {
            SetLastError(NTE_BAD_FLAGS);
            return FALSE;
        }
        return TRUE;
    });
}
