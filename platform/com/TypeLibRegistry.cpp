#include "platform/com/TypeLibRegistry.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>

#include "platform/seams/Seams.h"
#include "platform/win/Failure.h"

namespace platform::com {
namespace {

class InProcessRegistrations final : public TypeLibRegistrations {
public:
    HRESULT Add(const TypeLibRegistration& entry) override {
        std::lock_guard lock(m_mutex);
        auto same = std::find_if(m_entries.begin(), m_entries.end(), [&](const auto& e) {
            return e.libid == entry.libid && e.wMajorVerNum == entry.wMajorVerNum &&
                   e.wMinorVerNum == entry.wMinorVerNum && e.lcid == entry.lcid &&
                   e.syskind == entry.syskind;
        });
        if (same != m_entries.end())
            *same = entry;
        else
            m_entries.push_back(entry);
        return S_OK;
    }

    HRESULT Remove(REFGUID libid, WORD wMajor, WORD wMinor, LCID lcid, SYSKIND syskind) override {
        std::lock_guard lock(m_mutex);
        const auto gone = std::remove_if(m_entries.begin(), m_entries.end(), [&](const auto& e) {
            return e.libid == libid && e.wMajorVerNum == wMajor && e.wMinorVerNum == wMinor &&
                   e.lcid == lcid && e.syskind == syskind;
        });
        if (gone == m_entries.end()) return TYPE_E_LIBNOTREGISTERED;
        m_entries.erase(gone, m_entries.end());
        return S_OK;
    }

    std::vector<TypeLibRegistration> Find(REFGUID libid) override {
        std::lock_guard lock(m_mutex);
        std::vector<TypeLibRegistration> found;
        for (const auto& e : m_entries)
            if (e.libid == libid) found.push_back(e);
        return found;
    }

private:
    std::mutex m_mutex;
    std::vector<TypeLibRegistration> m_entries;
};

InProcessRegistrations& InProcess() {
    static InProcessRegistrations registrations;
    return registrations;
}

// Images cannot outlive their process, so they stay in its table; files are
// registered for every process.
class DefaultRegistrations final : public TypeLibRegistrations {
public:
    HRESULT Add(const TypeLibRegistration& entry) override {
        return entry.image.empty() ? RegistryTypeLibRegistrations().Add(entry)
                                   : InProcess().Add(entry);
    }
    HRESULT Remove(REFGUID libid, WORD wMajor, WORD wMinor, LCID lcid, SYSKIND syskind) override {
        const HRESULT inProcess = InProcess().Remove(libid, wMajor, wMinor, lcid, syskind);
        const HRESULT inRegistry =
            RegistryTypeLibRegistrations().Remove(libid, wMajor, wMinor, lcid, syskind);
        if (SUCCEEDED(inProcess) && inRegistry == TYPE_E_LIBNOTREGISTERED) return inProcess;
        return inRegistry;
    }
    std::vector<TypeLibRegistration> Find(REFGUID libid) override {
        std::vector<TypeLibRegistration> found = InProcess().Find(libid);
        for (auto& entry : RegistryTypeLibRegistrations().Find(libid))
            found.push_back(std::move(entry));
        return found;
    }
};

DefaultRegistrations& Default() {
    static DefaultRegistrations registrations;
    return registrations;
}

std::atomic<TypeLibRegistrations*> g_current{nullptr};

thread_local std::string t_lookupError;

constexpr LCID PrimaryLanguage(LCID lcid) {
    return lcid & 0x3FF;
}

}  // namespace

TypeLibRegistrations& CurrentTypeLibRegistrations() {
    TypeLibRegistrations* current = g_current.load();
    return current != nullptr ? *current : Default();
}

TypeLibRegistrations* SetTypeLibRegistrations(TypeLibRegistrations* registrations) {
    TypeLibRegistrations* previous = g_current.exchange(registrations);
    return previous != nullptr ? previous : &Default();
}

std::string LastTypeLibLookupError() {
    return t_lookupError;
}

HRESULT FindRegisteredTypeLib(REFGUID libid, WORD wMajor, WORD wMinor, LCID lcid,
                              TypeLibRegistration& found) {
    t_lookupError.clear();
    std::vector<TypeLibRegistration> entries = CurrentTypeLibRegistrations().Find(libid);
    std::erase_if(entries, [&](const auto& e) {
        return e.wMajorVerNum != wMajor || e.wMinorVerNum < wMinor;
    });
    const bool anyLocale =
        lcid == LOCALE_NEUTRAL || lcid == LOCALE_USER_DEFAULT || lcid == LOCALE_SYSTEM_DEFAULT;
    // Tiers of locale match, best first; the highest minor version wins within one.
    const std::function<bool(const TypeLibRegistration&)> tiers[] = {
        [&](const auto& e) { return e.lcid == lcid; },
        [&](const auto& e) {
            return e.lcid != LOCALE_NEUTRAL && PrimaryLanguage(e.lcid) == PrimaryLanguage(lcid);
        },
        [&](const auto& e) { return e.lcid == LOCALE_NEUTRAL; },
        [&](const auto&) { return anyLocale; },
    };
    for (const auto& matches : tiers) {
        const TypeLibRegistration* best = nullptr;
        for (const auto& e : entries)
            if (matches(e) && (best == nullptr || e.wMinorVerNum > best->wMinorVerNum)) best = &e;
        if (best != nullptr) {
            if (best->image.empty() && !best->path.starts_with("/")) {
                t_lookupError = "the type library " + GuidToString(libid) + " is registered with " +
                                "the relative path " + best->path + "; register its module again";
                return TYPE_E_CANTLOADLIBRARY;
            }
            found = *best;
            return S_OK;
        }
    }
    return TYPE_E_LIBNOTREGISTERED;
}

namespace {
HRESULT RegisterImage(std::span<const BYTE> image, TLIBATTR& registered) {
    return platform::GuardedHr("RegisterTypeLib", [&]() -> HRESULT {
        ComPtr<ITypeLib> lib;
        HRESULT hr = LoadTypeLibFromImage(image, lib.Put());
        if (FAILED(hr)) return hr;
        TLIBATTR* attr = nullptr;
        hr = lib->GetLibAttr(&attr);
        if (FAILED(hr)) return hr;
        registered = *attr;
        lib->ReleaseTLibAttr(attr);
        TypeLibRegistration entry;
        entry.libid = registered.guid;
        entry.wMajorVerNum = registered.wMajorVerNum;
        entry.wMinorVerNum = registered.wMinorVerNum;
        entry.lcid = registered.lcid;
        entry.syskind = registered.syskind;
        entry.image = image;
        return CurrentTypeLibRegistrations().Add(entry);
    });
}
}  // namespace

HRESULT RegisterTypeLibImage(std::span<const BYTE> image) {
    TLIBATTR attr{};
    return RegisterImage(image, attr);
}

ScopedTypeLibRegistration::ScopedTypeLibRegistration(std::span<const BYTE> image)
    : m_hr(RegisterImage(image, m_attr)) {}

ScopedTypeLibRegistration::~ScopedTypeLibRegistration() {
    if (SUCCEEDED(m_hr))
        UnRegisterTypeLib(m_attr.guid, m_attr.wMajorVerNum, m_attr.wMinorVerNum, m_attr.lcid,
                          m_attr.syskind);
}

}  // namespace platform::com
