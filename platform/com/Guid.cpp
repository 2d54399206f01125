#include "platform/com/Guid.h"

#include <cstdio>

#include "platform/seams/Seams.h"
#include "platform/win/Failure.h"

namespace platform::com {

std::string GuidToString(REFGUID g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  unsigned(g.Data1), unsigned(g.Data2), unsigned(g.Data3), g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

std::optional<GUID> GuidFromString(std::string_view text) {
    return ParseGuid(text);
}

namespace {
// Only the braced form crosses the platform boundary.
std::optional<GUID> ParseBraced(LPCOLESTR text) {
    if (text == nullptr) return std::nullopt;
    std::size_t n = 0;
    while (n <= 38 && text[n] != 0) ++n;
    if (n != 38) return std::nullopt;
    return ParseGuid(std::u16string_view(text, n));
}
}  // namespace

}  // namespace platform::com

// A buffer too small gets 0; the last-error code is not touched.
int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
    return platform::RunGuardedValue(
        "StringFromGUID2",
        [&] {
            const std::string text = platform::com::GuidToString(rguid);
            if (lpsz == nullptr || cchMax < static_cast<int>(text.size()) + 1) return 0;
            for (std::size_t i = 0; i < text.size(); ++i) lpsz[i] = static_cast<OLECHAR>(text[i]);
            lpsz[text.size()] = 0;
            return static_cast<int>(text.size()) + 1;
        },
        0);
}

HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
    return platform::GuardedHr("CLSIDFromString", [&]() -> HRESULT {
        if (pclsid == nullptr) return HRESULT(E_INVALIDARG);
        const auto g = platform::com::ParseBraced(lpsz);
        if (!g) {
            *pclsid = GUID_NULL;
            return CO_E_CLASSSTRING;
        }
        *pclsid = *g;
        return NOERROR;
    });
}

HRESULT IIDFromString(LPCOLESTR lpsz, LPIID lpiid) {
    if (lpiid == nullptr) return HRESULT(E_INVALIDARG);
    return platform::RunGuardedHr("IIDFromString", [&]() -> HRESULT {
        const auto g = platform::com::ParseBraced(lpsz);
        if (!g) {
            *lpiid = GUID_NULL;
            return HRESULT(E_INVALIDARG);
        }
        *lpiid = *g;
        return S_OK;
    });
}
