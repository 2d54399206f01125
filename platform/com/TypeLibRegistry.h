#pragma once
// Where LoadRegTypeLib finds registered type libraries. Storage is an
// interface: by default libraries in files are kept in the per-user registry,
// so every process finds them, and images living in this process in an
// in-process table; tests install their own storage with
// SetTypeLibRegistrations. The choice of version and locale stays here.

#include <span>
#include <string>
#include <vector>

#include "platform/com/TypeInfo.h"

namespace platform::com {

struct TypeLibRegistration {
    GUID libid{};
    WORD wMajorVerNum = 0;
    WORD wMinorVerNum = 0;
    LCID lcid = 0;
    SYSKIND syskind = SYS_WIN32;
    std::string path;             // the file holding the library (UTF-8), or
    std::span<const BYTE> image;  // its bytes, when it lives in this process
    std::string helpString;       // the library's help string
    WORD wLibFlags = 0;
    std::string helpDir;
};

class TypeLibRegistrations {
public:
    virtual ~TypeLibRegistrations() = default;
    // Adds or replaces the entry with the same identifier, version, locale and system.
    virtual HRESULT Add(const TypeLibRegistration& entry) = 0;
    // TYPE_E_LIBNOTREGISTERED when there is no such entry.
    virtual HRESULT Remove(REFGUID libid, WORD wMajor, WORD wMinor, LCID lcid, SYSKIND syskind) = 0;
    // Every entry of the library, any version, locale and system.
    virtual std::vector<TypeLibRegistration> Find(REFGUID libid) = 0;
};

// The per-user registry as storage: entries with a file live under
// HKEY_CLASSES_ROOT\TypeLib, so every process finds them.
TypeLibRegistrations& RegistryTypeLibRegistrations();

// The storage in use unless replaced: libraries living in this process in
// the in-process table, libraries in files in the per-user registry.
TypeLibRegistrations& CurrentTypeLibRegistrations();
// Replaces the storage (null: back to the default storage); returns the
// storage that was in use. The caller keeps ownership.
TypeLibRegistrations* SetTypeLibRegistrations(TypeLibRegistrations* registrations);

// Registers a library whose image lives in this process (a module's own
// library); the bytes must outlive the registration.
HRESULT RegisterTypeLibImage(std::span<const BYTE> image);

// The registration a load asks for: `wMajor` exactly, the highest minor
// version at least `wMinor`, and the locale itself, else its language, else
// the neutral locale; a request for a default or neutral locale takes any.
// A registration naming its file by a relative path (which would find a file
// in whatever folder the process runs in) is refused: TYPE_E_CANTLOADLIBRARY.
HRESULT FindRegisteredTypeLib(REFGUID libid, WORD wMajor, WORD wMinor, LCID lcid,
                              TypeLibRegistration& found);
// Why the calling thread's last FindRegisteredTypeLib refused the
// registration it found, in words; empty after any other result.
std::string LastTypeLibLookupError();

// An in-process registration of an image for the lifetime of the object.
class ScopedTypeLibRegistration {
public:
    explicit ScopedTypeLibRegistration(std::span<const BYTE> image);
    ~ScopedTypeLibRegistration();
    ScopedTypeLibRegistration(const ScopedTypeLibRegistration&) = delete;
    ScopedTypeLibRegistration& operator=(const ScopedTypeLibRegistration&) = delete;
    HRESULT Result() const { return m_hr; }

private:
    TLIBATTR m_attr{};  // before m_hr: registering fills it
    HRESULT m_hr;
};

}  // namespace platform::com
