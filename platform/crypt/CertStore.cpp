#include <mutex>
#include <unordered_map>

#include "platform/crypt/Certificate.h"
#include "platform/crypt/EntryDamage.h"
#include "platform/crypt/FastPaths.h"
#include "platform/crypt/Provider.h"
#include "platform/crypt/Store.h"
#include "platform/crypt/Tokens.h"
#include "platform/seams/Seams.h"
#include "platform/text/NoCase.h"
#include "platform/win/Failure.h"
#include "platform/win/LastError.h"
#include "platform/win/Time.h"
#include "platform/win/WinError.h"

namespace platform::crypt {
namespace {

struct StoreHandle {
    std::shared_ptr<StoreState> state;
};

std::mutex g_mutex;
std::unordered_map<HCERTSTORE, std::unique_ptr<StoreHandle>> g_stores;

std::shared_ptr<StoreState> StateOf(HCERTSTORE handle) {
    std::lock_guard lock(g_mutex);
    const auto it = g_stores.find(handle);
    return it == g_stores.end() ? nullptr : it->second->state;
}

}  // namespace

HCERTSTORE OpenMemoryStore(std::vector<std::shared_ptr<const Certificate>> certs) {
    auto handle = std::make_unique<StoreHandle>();
    handle->state = std::make_shared<StoreState>(DiskStore::None(), std::move(certs));
    HCERTSTORE h = handle.get();
    {
        std::lock_guard lock(g_mutex);
        g_stores.emplace(h, std::move(handle));
    }
    platform::seams::CountLive(platform::seams::Live::Store, +1);
    return h;
}

}  // namespace platform::crypt

using namespace platform::crypt;

HCERTSTORE CertOpenSystemStoreA(HCRYPTPROV hProv, LPCSTR szSubsystemProtocol) {
    return platform::GuardedCall(
        "CertOpenSystemStoreA", "CertOpenSystemStoreA",
        [&]() -> HCERTSTORE {
            if (szSubsystemProtocol == nullptr) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return nullptr;
            }
            std::filesystem::path home;
            if (hProv == 0)
                home = OstrelHome();
            else if (!ContainerOf(hProv, home))
                return nullptr;
            auto handle = std::make_unique<StoreHandle>();
            DiskStore disk = DiskStore::Open(StoreFolder(home, szSubsystemProtocol), true);
            // The certificates on the user's tokens are personal certificates
            // too; they follow the files, whose positions stay as they are.
            handle->state = std::make_shared<StoreState>(
                std::move(disk), platform::text::EqualsNoCase(szSubsystemProtocol, "MY")
                                     ? &TokenCertificates
                                     : nullptr);
            HCERTSTORE h = handle.get();
            {
                std::lock_guard lock(g_mutex);
                g_stores.emplace(h, std::move(handle));
            }
            platform::seams::CountLive(platform::seams::Live::Store, +1);
            return h;
        },
        DWORD(CRYPT_E_FILE_ERROR), DWORD(ERROR_NOT_ENOUGH_MEMORY));
}

PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrev) {
    platform::seams::Trace("CertEnumCertificatesInStore");
    // Whatever happens, the context passed in is released (except when it is
    // no context of this store).
    const auto release = [pPrev]() -> PCCERT_CONTEXT {
        CertFreeCertificateContext(pPrev);
        return nullptr;
    };
    return platform::RunGuardedEntry(
        "CertEnumCertificatesInStore",
        [&](const platform::Entry& entry) -> PCCERT_CONTEXT {
            StoreState* walked = nullptr;
            std::shared_ptr<StoreState> state;
            std::size_t next = 0;
            const void* previous = nullptr;
            // The fast path of a walk (FastPaths.h): the context is found
            // without a look through the live ones, and (below) moved on in
            // place.
            if (pPrev != nullptr && FastPaths() &&
                WalkedFrom(pPrev, hCertStore, walked, next, previous)) {
                ++next;
            } else {
                state = StateOf(hCertStore);
                if (pPrev != nullptr) {
                    std::shared_ptr<StoreState> prevStore;
                    std::size_t prevPosition = 0;
                    if (!PositionOf(pPrev, prevStore, prevPosition) || prevStore != state) {
                        entry.Fail(ERROR_INVALID_PARAMETER);
                        return nullptr;
                    }
                    next = prevPosition + 1;
                }
                walked = state.get();
            }
            const auto fail = [&](DWORD code) -> PCCERT_CONTEXT {
                release();
                entry.Fail(code);
                return nullptr;
            };
            if (walked == nullptr) return fail(ERROR_INVALID_HANDLE);
            std::uint32_t injected = 0;
            if (platform::seams::Injected("CertEnumCertificatesInStore", injected))
                return fail(injected);
            // Most steps of a walk: the context moves on in place.
            if (previous != nullptr && next < walked->disk.Count() && StepWalked(previous, next))
                return pPrev;
            if (!state) state = StoreOfWalked(previous);
            if (next >= state->disk.Count()) {
                const auto& tokens = state->Tokens();
                const std::size_t onToken = next - state->disk.Count();
                if (onToken >= tokens.size()) {
                    // The end of the store is the answer, not a failure.
                    release();
                    SetLastError(CRYPT_E_NOT_FOUND);
                    return nullptr;
                }
                return NextCertContext(pPrev, tokens[onToken], state, hCertStore, next);
            }
            std::shared_ptr<const Certificate> cert;
            CertShown shown;
            try {
                cert = state->disk.Load(next, &shown);
            } catch (const StoreError& e) {
                // An entry that cannot be used keeps its position, told by a
                // context without a certificate: skipping it would silently
                // move every later certificate to another position, and
                // ending the enumeration there would hide them all. The
                // context keeps why, with the causes, for whoever fails on
                // it; this step tells it as its own failure.
                PCCERT_CONTEXT damaged = NextDamagedContext(
                    pPrev,
                    EntryDamage{state->disk.EntryNames()[next], e.Reason(), e.Code(), e.Causes()},
                    state, hCertStore, next);
                if (damaged != nullptr) entry.Fail(e);
                return damaged;
            }
            return NextCertContext(pPrev, std::move(cert), std::move(state), hCertStore, next,
                                   &shown, previous);
        },
        release, DWORD(CRYPT_E_FILE_ERROR), DWORD(ERROR_NOT_ENOUGH_MEMORY));
}

BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags) {
    if (platform::seams::Tracing())
        platform::seams::Trace("CertCloseStore " + std::to_string(dwFlags));
    return platform::RunGuardedCall("CertCloseStore", [&]() -> BOOL {
        if (hCertStore == nullptr) return TRUE;
        std::unique_ptr<StoreHandle> handle;
        {
            std::lock_guard lock(g_mutex);
            const auto it = g_stores.find(hCertStore);
            if (it == g_stores.end()) {
                SetLastError(ERROR_INVALID_HANDLE);
                return FALSE;
            }
            handle = std::move(it->second);
            g_stores.erase(it);
        }
        handle->state->closed.store(true);
        platform::seams::CountLive(platform::seams::Live::Store, -1);
        // The handle is closed whatever follows; contexts still held keep
        // what they need alive on their own.
        std::uint32_t injected = 0;
        if (platform::seams::Injected("CertCloseStore", injected)) {
            SetLastError(injected);
            return FALSE;
        }
        if ((dwFlags & CERT_CLOSE_STORE_CHECK_FLAG) != 0 &&
            handle->state->liveContexts.load() > 0) {
            SetLastError(CRYPT_E_PENDING_CLOSE);
            return FALSE;
        }
        return TRUE;
    });
}

// Reports nothing in the last-error code: the result says it all.
LONG CertVerifyTimeValidity(FILETIME* pTimeToVerify, PCERT_INFO pCertInfo) {
    return platform::RunGuardedValue(
        "CertVerifyTimeValidity",
        [&]() -> LONG {
            using platform::win::FileTimeValue;
            if (pCertInfo == nullptr) return 1;
            const FILETIME now =
                pTimeToVerify != nullptr ? *pTimeToVerify : platform::win::CurrentFileTime();
            if (FileTimeValue(now) < FileTimeValue(pCertInfo->NotBefore)) return -1;
            if (FileTimeValue(now) > FileTimeValue(pCertInfo->NotAfter)) return 1;
            return 0;
        },
        LONG(1));
}
