// A store entry file as a damaged disk, a hand edit or another program may
// leave it: the bytes become the one entry of the personal store of a private
// home (an input that starts as DER does, 0x30, is taken for a certificate
// and written as the PEM block an entry holds, so that mutations reach the
// certificate decoding instead of breaking the base64 around it), read once by the store itself and
// once by an enumeration through the platform's interface, as the chooser and the signing make it.
// A damaged entry is refused with an error, never taken half, and nothing it touched stays alive.

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "platform/crypt/Store.h"
#include "platform/crypt/WinCrypt.h"
#include "platform/seams/Seams.h"

namespace {

using ostrel::fuzz::Check;
using platform::seams::Live;
using platform::seams::LiveCount;

std::filesystem::path g_folder;

long Alive() {
    return LiveCount(Live::Store) + LiveCount(Live::CertContext) + LiveCount(Live::Buffer);
}

// Entries are named by their sequence number; a new name for every input
// keeps one input's parse from being taken for another's.
std::filesystem::path NextEntry() {
    static unsigned long long number = 0;
    char name[32];
    std::snprintf(name, sizeof name, "%010llu.pem", ++number);
    return g_folder / name;
}

void ReadThroughTheStore() {
    const auto store = platform::crypt::DiskStore::Open(g_folder, false);
    Check(store.Count() == 1, "the store lists its one entry");
    try {
        const auto cert = store.Load(0);
        Check(cert != nullptr && cert->X509Cert() != nullptr && !cert->Der().empty(),
              "an entry taken holds a certificate");
        if (cert->PrivateKey() != nullptr)
            Check(X509_check_private_key(cert->X509Cert(), cert->PrivateKey()) == 1,
                  "an entry's key belongs to its certificate");
        Check(cert->Info() != nullptr && cert->Info()->Subject.cbData > 0,
              "the platform's view of it is filled");
    } catch (const platform::crypt::StoreError& e) {
        Check(e.Code() != 0, "a refusal carries an error code");
    }
}

void ReadThroughTheInterface() {
    HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
    Check(store != nullptr, "the store opens");
    std::size_t seen = 0;
    for (PCCERT_CONTEXT context = CertEnumCertificatesInStore(store, nullptr); context != nullptr;
         context = CertEnumCertificatesInStore(store, context)) {
        ++seen;
        if (context->cbCertEncoded > 0) {
            const unsigned char* p = context->pbCertEncoded;
            X509* cert = d2i_X509(nullptr, &p, long(context->cbCertEncoded));
            Check(cert != nullptr, "an enumerated certificate decodes");
            X509_free(cert);
        }
    }
    Check(seen <= 1, "one entry, at most one context");
    Check(CertCloseStore(store, 0) != FALSE, "the store closes");
}

std::string EntryText(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || data[0] != 0x30) return std::string(ostrel::fuzz::Text(data, size));
    BIO* bio = BIO_new(BIO_s_mem());
    Check(bio != nullptr && PEM_write_bio(bio, "CERTIFICATE", "", data, long(size)) > 0,
          "a PEM block can be made");
    char* text = nullptr;
    const long length = BIO_get_mem_data(bio, &text);
    std::string entry(text, std::size_t(length));
    BIO_free(bio);
    return entry;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_folder = platform::crypt::StoreFolder(ostrel::fuzz::PrivateHome(), "MY");
    std::filesystem::create_directories(g_folder);
    std::filesystem::permissions(g_folder, std::filesystem::perms::owner_all);
    std::filesystem::permissions(g_folder.parent_path(), std::filesystem::perms::owner_all);
    ::setenv("OSTREL_UI", "none", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const long before = Alive();
    const auto entry = NextEntry();
    ostrel::fuzz::WriteFile(entry, EntryText(data, size));
    ReadThroughTheStore();
    ReadThroughTheInterface();
    std::filesystem::remove(entry);
    ERR_clear_error();
    Check(Alive() == before, "nothing stays alive");
    return 0;
}
