#include <atomic>
#include <mutex>
#include <unordered_map>

#include "platform/crypt/Certificate.h"
#include "platform/crypt/Store.h"
#include "platform/seams/Seams.h"
#include "platform/win/LastError.h"
#include "platform/win/WinError.h"

namespace platform::crypt {
namespace {

// The record behind a context handle; the handle is the address of its
// public part.
struct ContextRecord {
    CERT_CONTEXT pub;
    std::shared_ptr<const Certificate> cert;
    std::shared_ptr<StoreState> store;
    std::size_t position;
    std::atomic<long> references{1};
};

std::mutex g_mutex;
std::unordered_map<const void*, ContextRecord*> g_live;

// The record behind a handle, or null when the handle is not a live context.
ContextRecord* Lookup(PCCERT_CONTEXT context) {
    std::lock_guard lock(g_mutex);
    const auto it = g_live.find(context);
    return it == g_live.end() ? nullptr : it->second;
}

}  // namespace

PCCERT_CONTEXT NewCertContext(std::shared_ptr<const Certificate> cert,
                              std::shared_ptr<StoreState> store, HCERTSTORE handle,
                              std::size_t position) {
    auto* record = new (std::nothrow) ContextRecord{};
    if (record == nullptr) {
        SetLastError(E_OUTOFMEMORY);
        return nullptr;
    }
    record->pub.dwCertEncodingType = X509_ASN_ENCODING;
    record->pub.pbCertEncoded = const_cast<BYTE*>(cert->Der().data());
    record->pub.cbCertEncoded = static_cast<DWORD>(cert->Der().size());
    record->pub.pCertInfo = cert->Info();
    record->pub.hCertStore = handle;
    record->cert = std::move(cert);
    record->store = std::move(store);
    record->position = position;
    if (record->store) record->store->liveContexts.fetch_add(1);
    {
        std::lock_guard lock(g_mutex);
        g_live.emplace(&record->pub, record);
    }
    seams::CountLive(seams::Live::CertContext, +1);
    return &record->pub;
}

PCCERT_CONTEXT NextCertContext(PCCERT_CONTEXT previous, std::shared_ptr<const Certificate> cert,
                               std::shared_ptr<StoreState> store, HCERTSTORE handle,
                               std::size_t position) {
    if (previous != nullptr) {
        std::unique_lock lock(g_mutex);
        const auto it = g_live.find(previous);
        ContextRecord* record = it == g_live.end() ? nullptr : it->second;
        if (record != nullptr && record->references.load() == 1 && record->store == store) {
            record->pub.pbCertEncoded = const_cast<BYTE*>(cert->Der().data());
            record->pub.cbCertEncoded = static_cast<DWORD>(cert->Der().size());
            record->pub.pCertInfo = cert->Info();
            record->pub.hCertStore = handle;
            record->cert = std::move(cert);
            record->position = position;
            return previous;
        }
        lock.unlock();
        CertFreeCertificateContext(previous);
    }
    return NewCertContext(std::move(cert), std::move(store), handle, position);
}

std::shared_ptr<const Certificate> CertificateOf(PCCERT_CONTEXT context) {
    ContextRecord* record = Lookup(context);
    if (record == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return record->cert;
}

bool PositionOf(PCCERT_CONTEXT context, std::shared_ptr<StoreState>& store, std::size_t& position) {
    ContextRecord* record = Lookup(context);
    if (record == nullptr || !record->store) return false;
    store = record->store;
    position = record->position;
    return true;
}

}  // namespace platform::crypt

using namespace platform::crypt;

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT context) {
    ContextRecord* record = Lookup(context);
    if (record == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    record->references.fetch_add(1);
    return context;
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT context) {
    platform::seams::Trace("CertFreeCertificateContext");
    if (context == nullptr) return TRUE;
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
    }
    if (record->store) record->store->liveContexts.fetch_sub(1);
    delete record;
    platform::seams::CountLive(platform::seams::Live::CertContext, -1);
    return TRUE;
}
