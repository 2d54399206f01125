#include "platform/crypt/CertCache.h"

#include <openssl/sha.h>
#include <openssl/x509.h>

#include <array>
#include <cstring>
#include <list>
#include <mutex>
#include <unordered_map>

#include "platform/crypt/CertFields.h"
#include "platform/crypt/Keys.h"
#include "platform/win/LastError.h"
#include "platform/win/WinError.h"

namespace platform::crypt {
namespace {

using Digest = std::array<BYTE, SHA256_DIGEST_LENGTH>;

struct DigestHash {
    std::size_t operator()(const Digest& d) const {
        std::size_t h;
        std::memcpy(&h, d.data(), sizeof h);
        return h;
    }
};

struct Cache {
    std::mutex mutex;
    // Most recently used first.
    std::list<std::pair<Digest, std::shared_ptr<const ParsedCert>>> order;
    std::unordered_map<Digest, decltype(order)::iterator, DigestHash> index;
    CertCacheCounts counts;
};

Cache& TheCache() {
    static Cache* cache = new Cache;  // kept to the end: contexts may outlive static objects
    return *cache;
}

std::shared_ptr<const ParsedCert> Read(der::Bytes der, DWORD& error) {
    auto cert = Certificate::FromDer(std::vector<BYTE>(der.begin(), der.end()));
    if (!cert) {
        error = GetLastError();
        return nullptr;
    }
    CertFields fields;
    ReadCertFields(cert->Der(), fields);
    auto parsed = std::make_shared<ParsedCert>();
    parsed->cert = std::move(cert);
    parsed->serial.assign(fields.serial.begin(), fields.serial.end());
    parsed->keyId.assign(fields.subjectKeyId.begin(), fields.subjectKeyId.end());
    // Only the public key info goes to OpenSSL.
    parsed->key = ReadPublicKey(fields.publicKeyInfo);
    return parsed;
}

}  // namespace

std::shared_ptr<const ParsedCert> ReadCertificate(der::Bytes der, DWORD& error) {
    Digest digest;
    SHA256(der.data(), der.size(), digest.data());
    Cache& cache = TheCache();
    {
        std::lock_guard lock(cache.mutex);
        if (const auto it = cache.index.find(digest); it != cache.index.end()) {
            cache.order.splice(cache.order.begin(), cache.order, it->second);
            ++cache.counts.hits;
            return it->second->second;
        }
        ++cache.counts.misses;
    }
    auto parsed = Read(der, error);
    if (!parsed) return nullptr;
    std::lock_guard lock(cache.mutex);
    if (cache.index.count(digest) == 0) {
        cache.order.emplace_front(digest, parsed);
        cache.index.emplace(digest, cache.order.begin());
        if (cache.order.size() > kCertCacheCapacity) {
            cache.index.erase(cache.order.back().first);
            cache.order.pop_back();
        }
    }
    return parsed;
}

CertCacheCounts CertCacheNow() {
    Cache& cache = TheCache();
    std::lock_guard lock(cache.mutex);
    CertCacheCounts counts = cache.counts;
    counts.size = cache.order.size();
    return counts;
}

void ClearCertCache() {
    Cache& cache = TheCache();
    std::lock_guard lock(cache.mutex);
    cache.order.clear();
    cache.index.clear();
}

}  // namespace platform::crypt
