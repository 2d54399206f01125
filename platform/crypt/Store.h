#pragma once
// The user's certificate stores on disk. A store is a folder (mode 0700) of
// entries, one file (mode 0600) per certificate holding the certificate and,
// when present, its private key, both PEM. Entries are named by a sequence
// number, so the enumeration order is the order of addition and stays the
// same while the store is unchanged. Changes are made under the store's lock
// by writing a temporary file and renaming it, so readers never see half an
// entry and concurrent writers never lose one.

#include <sys/types.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypt/Certificate.h"
#include "platform/win/Failure.h"
#include "platform/win/WinTypes.h"

namespace platform::crypt {

// A failure of the store, with the platform error code that describes it.
using StoreError = platform::Failure;

// The ostrel home: OSTREL_HOME, else ${XDG_DATA_HOME:-~/.local/share}/ostrel.
std::filesystem::path OstrelHome();
// The folder of a named store in the home ("MY" is the personal store).
std::filesystem::path StoreFolder(const std::filesystem::path& home, std::string_view name);

class DiskStore {
public:
    // Opens a store folder, creating it (mode 0700) when `create` is set.
    // Refuses a folder that others may read or write, or that is not the user's.
    static DiskStore Open(const std::filesystem::path& folder, bool create);
    // A store of no entries and no folder, for a store held in memory.
    static DiskStore None();

    const std::filesystem::path& Folder() const { return m_folder; }
    // The entry file names, in enumeration order, as they were at opening.
    const std::vector<std::string>& EntryNames() const { return *m_names; }
    std::size_t Count() const { return m_names->size(); }

    // The certificate at a position, with its key when the entry has one.
    // Parsed entries are kept between openings, keyed by the file's identity
    // and modification. No password is ever asked for: an encrypted block is
    // damage. Throws StoreError: CRYPT_E_FILE_ERROR for a damaged entry,
    // ERROR_ACCESS_DENIED for one that others may read.
    //
    // `shown`, when given, is set to what a context shows of the certificate
    // where the store knows it without reading the certificate (see
    // Store.cpp), else left as it is.
    using Shown = CertShown;
    std::shared_ptr<const Certificate> Load(std::size_t position, Shown* shown = nullptr) const;

    // What a context shows of the certificate at a position, where the kept
    // listing already holds it: no file is looked at. False where Load has
    // to look. The certificate then lives as long as Owner() does.
    bool Peek(std::size_t position, Shown& shown) const;
    const std::shared_ptr<const void>& Owner() const { return m_owner; }

    // Adds an entry; returns its position in the store after the addition.
    // Throws StoreError(NTE_EXISTS) when the store already holds the
    // certificate, and StoreError(ERROR_WRITE_FAULT) once the entry numbers
    // are used up: a number is never given twice, nor wrapped or widened.
    //
    // Add and RemoveAt first remove the temporary files that writers which
    // died mid-write left in the folder.
    std::size_t Add(std::span<const BYTE> certDer, EVP_PKEY* key);
    // Removes the entry at a position of the store as it is now; returns the
    // removed entry's file name.
    std::string RemoveAt(std::size_t position);

    // The entries as the cache saw the folder at opening (null after a
    // change made through this object); see Store.cpp.
    struct Listing;
    struct OpenFolder;

private:
    std::filesystem::path m_folder;
    std::shared_ptr<const OpenFolder> m_open;
    std::shared_ptr<const std::vector<std::string>> m_names;
    std::shared_ptr<Listing> m_listing;
    // m_listing as it was at opening, typeless: what keeps the certificates
    // Load hands out from the listing alive.
    std::shared_ptr<const void> m_owner;
};

// What stands behind an open store handle; kept alive by the contexts taken
// from it. The personal store lists the certificates on tokens after its
// file entries. They are read the first time a caller goes past the file
// entries, and kept as they were then: using a file entry never loads a
// token's module.
struct StoreState {
    using TokenReader = std::vector<std::shared_ptr<const Certificate>> (*)(const DiskStore*);
    explicit StoreState(DiskStore d, TokenReader readTokens = nullptr)
        : disk(std::move(d)), m_readTokens(readTokens) {}
    // A store held in memory: the certificates given, after the entries of `d`.
    StoreState(DiskStore d, std::vector<std::shared_ptr<const Certificate>> held)
        : disk(std::move(d)), m_readTokens(nullptr), m_tokens(std::move(held)) {}
    DiskStore disk;
    const std::vector<std::shared_ptr<const Certificate>>& Tokens() {
        std::call_once(m_read, [this] {
            if (m_readTokens != nullptr) m_tokens = m_readTokens(&disk);
        });
        return m_tokens;
    }
    std::atomic<long> liveContexts{0};
    std::atomic<bool> closed{false};  // its handle was closed

private:
    TokenReader m_readTokens;
    std::once_flag m_read;
    std::vector<std::shared_ptr<const Certificate>> m_tokens;
};

// Opens a store held in memory that lists `certs` in their order (the
// certificates a time-stamp token carries); closed by CertCloseStore.
HCERTSTORE OpenMemoryStore(std::vector<std::shared_ptr<const Certificate>> certs);

}  // namespace platform::crypt
