#include <atomic>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "platform/crypt/Certificate.h"
#include "platform/crypt/EntryDamage.h"
#include "platform/crypt/Store.h"
#include "platform/seams/Seams.h"
#include "platform/win/Failure.h"
#include "platform/win/LastError.h"
#include "platform/win/WinError.h"

namespace platform::crypt {
namespace {

// The record behind a context handle; the handle is the address of its
// public part.
struct ContextRecord {
    CERT_CONTEXT pub;
    std::shared_ptr<const Certificate> cert;    // null where an entry cannot be used
    std::shared_ptr<const EntryDamage> damage;  // set exactly where `cert` is null
    CERT_INFO noInfo{};                         // what a context without a certificate shows
    std::shared_ptr<StoreState> store;
    std::size_t position;
    std::atomic<long> references{1};

    // Shows a certificate, or (with `c` null) no certificate: no bytes and an
    // empty CERT_INFO, which every call that takes a context can read.
    void Show(std::shared_ptr<const Certificate> c, std::shared_ptr<const EntryDamage> d,
              HCERTSTORE handle, const CertShown* shown = nullptr) {
        pub.dwCertEncodingType = X509_ASN_ENCODING;
        if (c && shown != nullptr) {
            pub.pbCertEncoded = const_cast<BYTE*>(shown->der);
            pub.cbCertEncoded = shown->size;
            pub.pCertInfo = shown->info;
        } else {
            pub.pbCertEncoded = c ? const_cast<BYTE*>(c->Der().data()) : nullptr;
            pub.cbCertEncoded = c ? static_cast<DWORD>(c->Der().size()) : 0;
            pub.pCertInfo = c ? c->Info() : &noInfo;
        }
        pub.hCertStore = handle;
        if (!c) noInfo = CERT_INFO{};
        cert = std::move(c);
        damage = cert ? nullptr : std::move(d);
    }
};

std::mutex g_mutex;
std::unordered_map<const void*, ContextRecord*> g_live;

// Bumped whenever a context is let go. A thread remembers the context its
// walk last reached with the count it saw then: while the count is the same,
// no context has gone since, so that context is still live and still its
// record's, and the walk's next step needs no look through the live ones.
std::atomic<std::uint64_t> g_released{0};
struct LastStep {
    PCCERT_CONTEXT context = nullptr;
    ContextRecord* record = nullptr;
    std::uint64_t released = 0;
};
thread_local LastStep t_lastStep;

void Remember(ContextRecord* record) {
    t_lastStep = LastStep{&record->pub, record, g_released.load(std::memory_order_acquire)};
}

ContextRecord* Remembered(PCCERT_CONTEXT context) {
    const LastStep& last = t_lastStep;
    if (context != last.context || g_released.load(std::memory_order_acquire) != last.released)
        return nullptr;
    return last.record;
}

// The record behind a handle, or null when the handle is not a live context.
ContextRecord* Lookup(PCCERT_CONTEXT context) {
    std::lock_guard lock(g_mutex);
    const auto it = g_live.find(context);
    return it == g_live.end() ? nullptr : it->second;
}

PCCERT_CONTEXT NewContext(std::shared_ptr<const Certificate> cert,
                          std::shared_ptr<const EntryDamage> damage,
                          std::shared_ptr<StoreState> store, HCERTSTORE handle,
                          std::size_t position) {
    auto* record = new (std::nothrow) ContextRecord{};
    if (record == nullptr) {
        SetLastError(E_OUTOFMEMORY);
        return nullptr;
    }
    record->Show(std::move(cert), std::move(damage), handle);
    record->store = std::move(store);
    record->position = position;
    if (record->store) record->store->liveContexts.fetch_add(1);
    {
        std::lock_guard lock(g_mutex);
        g_live.emplace(&record->pub, record);
    }
    seams::CountLive(seams::Live::CertContext, +1);
    if (record->store) Remember(record);
    return &record->pub;
}

PCCERT_CONTEXT NextContext(PCCERT_CONTEXT previous, std::shared_ptr<const Certificate> cert,
                           std::shared_ptr<const EntryDamage> damage,
                           std::shared_ptr<StoreState> store, HCERTSTORE handle,
                           std::size_t position, const CertShown* shown = nullptr,
                           ContextRecord* known = nullptr) {
    if (previous != nullptr) {
        std::unique_lock lock(g_mutex);
        ContextRecord* record = known;
        if (record == nullptr) {
            const auto it = g_live.find(previous);
            record = it == g_live.end() ? nullptr : it->second;
        }
        if (record != nullptr && record->references.load() == 1 && record->store == store) {
            record->Show(std::move(cert), std::move(damage), handle, shown);
            record->position = position;
            Remember(record);
            return previous;
        }
        lock.unlock();
        CertFreeCertificateContext(previous);
    }
    return NewContext(std::move(cert), std::move(damage), std::move(store), handle, position);
}

}  // namespace

PCCERT_CONTEXT NewCertContext(std::shared_ptr<const Certificate> cert,
                              std::shared_ptr<StoreState> store, HCERTSTORE handle,
                              std::size_t position) {
    return NewContext(std::move(cert), nullptr, std::move(store), handle, position);
}

PCCERT_CONTEXT NextCertContext(PCCERT_CONTEXT previous, std::shared_ptr<const Certificate> cert,
                               std::shared_ptr<StoreState> store, HCERTSTORE handle,
                               std::size_t position, const CertShown* shown,
                               const void* previousRecord) {
    if (shown != nullptr && shown->cert != cert.get()) shown = nullptr;
    // The caller holds `previous`, so the record WalkedFrom found for it
    // lives until this call lets it go.
    auto* known = static_cast<ContextRecord*>(const_cast<void*>(previousRecord));
    if (known != nullptr && &known->pub != previous) known = nullptr;
    return NextContext(previous, std::move(cert), nullptr, std::move(store), handle, position,
                       shown, known);
}

PCCERT_CONTEXT NextDamagedContext(PCCERT_CONTEXT previous, EntryDamage damage,
                                  std::shared_ptr<StoreState> store, HCERTSTORE handle,
                                  std::size_t position) {
    auto shared = std::make_shared<const EntryDamage>(std::move(damage));
    return NextContext(previous, nullptr, std::move(shared), std::move(store), handle, position);
}

std::shared_ptr<const Certificate> CertificateOf(PCCERT_CONTEXT context) {
    ContextRecord* record = Lookup(context);
    if (record == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!record->cert) {
        SetLastError(record->damage ? record->damage->code : CRYPT_E_NOT_FOUND);
        // Whoever fails on a damaged entry says why it cannot be used.
        if (record->damage && platform::DebugFailures()) {
            platform::KeepCause("the store entry " + record->damage->entry +
                                " cannot be used: " + record->damage->reason);
            for (const auto& cause : record->damage->causes) platform::KeepCause(cause);
        }
    }
    return record->cert;
}

std::optional<EntryDamage> DamageOf(PCCERT_CONTEXT context) {
    ContextRecord* record = Lookup(context);
    if (record == nullptr || !record->damage) return std::nullopt;
    return *record->damage;
}

bool PositionOf(PCCERT_CONTEXT context, std::shared_ptr<StoreState>& store, std::size_t& position) {
    ContextRecord* record = Lookup(context);
    if (record == nullptr || !record->store) return false;
    store = record->store;
    position = record->position;
    return true;
}

bool StepWalked(const void* found, std::size_t position) {
    auto* record = static_cast<ContextRecord*>(const_cast<void*>(found));
    // Only the caller holds the context, and hands it over to this call:
    // nobody else may look at it while it changes. The count is read with
    // acquire: a thread that held the context too and let it go read it
    // before its release, and those reads must come before the changes here.
    if (record == nullptr || record->references.load(std::memory_order_acquire) != 1 ||
        !record->cert || !record->store)
        return false;
    const DiskStore& disk = record->store->disk;
    CertShown shown;
    if (!disk.Peek(position, shown)) return false;
    // The certificate shown now must be one of the same listing, so that
    // its owner can pass straight on to the next one.
    const std::shared_ptr<const void>& owner = disk.Owner();
    if (record->cert.owner_before(owner) || owner.owner_before(record->cert)) return false;
    record->cert = std::shared_ptr<const Certificate>(std::move(record->cert), shown.cert);
    record->pub.pbCertEncoded = const_cast<BYTE*>(shown.der);
    record->pub.cbCertEncoded = shown.size;
    record->pub.pCertInfo = shown.info;
    record->position = position;
    return true;
}

bool WalkedFrom(PCCERT_CONTEXT context, HCERTSTORE handle, StoreState*& store,
                std::size_t& position, const void*& found) {
    ContextRecord* record = Remembered(context);
    std::unique_lock lock(g_mutex, std::defer_lock);
    if (record == nullptr) {
        lock.lock();
        const auto it = g_live.find(context);
        if (it == g_live.end()) return false;
        record = it->second;
    }
    if (!record->store || record->pub.hCertStore != handle || record->store->closed.load())
        return false;
    if (lock.owns_lock()) Remember(record);
    store = record->store.get();
    position = record->position;
    found = record;
    return true;
}

std::shared_ptr<StoreState> StoreOfWalked(const void* found) {
    return static_cast<const ContextRecord*>(found)->store;
}

}  // namespace platform::crypt

using namespace platform::crypt;

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT context) {
    return platform::RunGuardedCall("CertDuplicateCertificateContext", [&]() -> PCCERT_CONTEXT {
        ContextRecord* record = Lookup(context);
        if (record == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        record->references.fetch_add(1);
        return context;
    });
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT context) {
    platform::seams::Trace("CertFreeCertificateContext");
    if (context == nullptr) return TRUE;
    return platform::RunGuardedCall("CertFreeCertificateContext", [&]() -> BOOL {
        ContextRecord* record = nullptr;
        {
            std::lock_guard lock(g_mutex);
            const auto it = g_live.find(context);
            if (it == g_live.end()) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return FALSE;
            }
            record = it->second;
            if (record->references.fetch_sub(1) != 1) return TRUE;
            g_live.erase(context);
            g_released.fetch_add(1, std::memory_order_acq_rel);
        }
        if (record->store) record->store->liveContexts.fetch_sub(1);
        delete record;
        platform::seams::CountLive(platform::seams::Live::CertContext, -1);
        return TRUE;
    });
}
