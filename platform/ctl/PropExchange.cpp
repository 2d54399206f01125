#include "platform/ctl/PropExchange.h"

#include "platform/text/NoCase.h"
#include "platform/text/Utf.h"

namespace platform::ctl {
namespace {

bool KnownType(VARTYPE vt) {
    return vt == VT_I2 || vt == VT_I4 || vt == VT_UI4 || vt == VT_BOOL || vt == VT_BSTR;
}

void CopyProperty(VARTYPE vt, void* to, const void* from) {
    switch (vt) {
        case VT_I2:
            *static_cast<SHORT*>(to) = *static_cast<const SHORT*>(from);
            break;
        case VT_I4:
            *static_cast<LONG*>(to) = *static_cast<const LONG*>(from);
            break;
        case VT_UI4:
            *static_cast<ULONG*>(to) = *static_cast<const ULONG*>(from);
            break;
        case VT_BOOL:
            *static_cast<BOOL*>(to) = *static_cast<const BOOL*>(from);
            break;
        case VT_BSTR:
            *static_cast<CString*>(to) = *static_cast<const CString*>(from);
            break;
        default:
            break;
    }
}

// A loaded property that has no usable value takes its default, if any.
BOOL UseDefault(VARTYPE vt, void* pvProp, const void* pvDefault) {
    if (pvDefault != nullptr) CopyProperty(vt, pvProp, pvDefault);
    return FALSE;
}

}  // namespace

const StateProperty* FindProperty(const StateProperties& props, std::string_view name) {
    for (const auto& p : props)
        if (platform::text::EqualsNoCase(p.name, name)) return &p;
    return nullptr;
}

HRESULT PropertyToVariant(VARTYPE vtProp, const void* pvProp, com::Variant& out) {
    if (pvProp == nullptr || !KnownType(vtProp)) return HRESULT(E_INVALIDARG);
    switch (vtProp) {
        case VT_I2:
            out = com::Variant::I2(*static_cast<const SHORT*>(pvProp));
            break;
        case VT_I4:
            out = com::Variant::I4(*static_cast<const LONG*>(pvProp));
            break;
        case VT_UI4: {
            com::Variant v;
            v.Raw().vt = VT_UI4;
            v.Raw().ulVal = *static_cast<const ULONG*>(pvProp);
            out = v;
            break;
        }
        case VT_BOOL:
            out = com::Variant::Bool(*static_cast<const BOOL*>(pvProp) != 0);
            break;
        case VT_BSTR: {
            const CString& text = *static_cast<const CString*>(pvProp);
            out = com::Variant::Str(text.Str());
            if (out.Type() != VT_BSTR || out.Raw().bstrVal == nullptr)
                return HRESULT(E_OUTOFMEMORY);
            break;
        }
        default:
            break;
    }
    return S_OK;
}

HRESULT PropertyFromVariant(const VARIANT& value, VARTYPE vtProp, void* pvProp) {
    if (pvProp == nullptr || !KnownType(vtProp)) return HRESULT(E_INVALIDARG);
    com::Variant converted;
    const HRESULT hr = VariantChangeType(converted.Ptr(), &value, 0, vtProp);
    if (FAILED(hr)) return hr;
    const VARIANT& v = converted.Raw();
    switch (vtProp) {
        case VT_I2:
            *static_cast<SHORT*>(pvProp) = v.iVal;
            break;
        case VT_I4:
            *static_cast<LONG*>(pvProp) = v.lVal;
            break;
        case VT_UI4:
            *static_cast<ULONG*>(pvProp) = v.ulVal;
            break;
        case VT_BOOL:
            *static_cast<BOOL*>(pvProp) = v.boolVal != VARIANT_FALSE ? TRUE : FALSE;
            break;
        case VT_BSTR: {
            // A text that would reach the control altered is refused.
            const auto text = com::Utf16ToUtf8Exact({v.bstrVal, SysStringLen(v.bstrVal)});
            if (!text || text->find('\0') != std::string::npos) return DISP_E_TYPEMISMATCH;
            *static_cast<CString*>(pvProp) = CString(*text);
            break;
        }
        default:
            break;
    }
    return S_OK;
}

}  // namespace platform::ctl

using namespace platform::ctl;

BOOL CPropExchange::ExchangeVersion(DWORD& dwVersionLoaded, DWORD dwVersionDefault, BOOL bConvert) {
    ULONG version = 0;
    if (m_bLoading) {
        const BOOL ok = PX_ULong(this, "_Version", version, dwVersionDefault);
        m_dwVersion = version;
        dwVersionLoaded = version;
        return ok;
    }
    m_dwVersion = bConvert ? dwVersionDefault : dwVersionLoaded;
    version = m_dwVersion;
    return PX_ULong(this, "_Version", version);
}

BOOL ResetPropExchange::ExchangeProp(LPCTSTR, VARTYPE vtProp, void* pvProp, const void* pvDefault) {
    if (pvProp == nullptr || !KnownType(vtProp)) return FALSE;
    if (pvDefault != nullptr) CopyProperty(vtProp, pvProp, pvDefault);
    return TRUE;
}

BOOL ListPropExchange::ExchangeProp(LPCTSTR pszPropName, VARTYPE vtProp, void* pvProp,
                                    const void* pvDefault) {
    if (pszPropName == nullptr || pvProp == nullptr || !KnownType(vtProp)) return FALSE;
    if (m_bLoading) {
        const StateProperty* p = FindProperty(m_props, pszPropName);
        if (p == nullptr || FAILED(PropertyFromVariant(p->value.Raw(), vtProp, pvProp)))
            return UseDefault(vtProp, pvProp, pvDefault);
        return TRUE;
    }
    com::Variant value;
    if (FAILED(PropertyToVariant(vtProp, pvProp, value))) return FALSE;
    for (StateProperty& saved : m_props)
        if (platform::text::EqualsNoCase(saved.name, pszPropName)) {
            saved.value = value;
            return TRUE;
        }
    m_props.push_back({pszPropName, value});
    return TRUE;
}

BOOL BagPropExchange::ExchangeProp(LPCTSTR pszPropName, VARTYPE vtProp, void* pvProp,
                                   const void* pvDefault) {
    if (m_pBag == nullptr || pszPropName == nullptr || pvProp == nullptr || !KnownType(vtProp))
        return FALSE;
    const std::u16string name = platform::com::Utf8ToUtf16(pszPropName);
    if (m_bLoading) {
        com::Variant value;
        value.Raw().vt = vtProp;
        if (FAILED(m_pBag->Read(name.c_str(), value.Ptr(), m_pLog)) ||
            FAILED(PropertyFromVariant(value.Raw(), vtProp, pvProp)))
            return UseDefault(vtProp, pvProp, pvDefault);
        return TRUE;
    }
    com::Variant value;
    HRESULT hr = PropertyToVariant(vtProp, pvProp, value);
    if (SUCCEEDED(hr)) hr = m_pBag->Write(name.c_str(), value.Ptr());
    if (FAILED(hr)) {
        if (SUCCEEDED(m_hr)) m_hr = hr;
        return FALSE;
    }
    return TRUE;
}

BOOL PX_Short(CPropExchange* pPX, LPCTSTR pszPropName, SHORT& sValue) {
    return pPX->ExchangeProp(pszPropName, VT_I2, &sValue);
}
BOOL PX_Short(CPropExchange* pPX, LPCTSTR pszPropName, SHORT& sValue, SHORT sDefault) {
    return pPX->ExchangeProp(pszPropName, VT_I2, &sValue, &sDefault);
}
BOOL PX_Long(CPropExchange* pPX, LPCTSTR pszPropName, LONG& lValue) {
    return pPX->ExchangeProp(pszPropName, VT_I4, &lValue);
}
BOOL PX_Long(CPropExchange* pPX, LPCTSTR pszPropName, LONG& lValue, LONG lDefault) {
    return pPX->ExchangeProp(pszPropName, VT_I4, &lValue, &lDefault);
}
BOOL PX_ULong(CPropExchange* pPX, LPCTSTR pszPropName, ULONG& ulValue) {
    return pPX->ExchangeProp(pszPropName, VT_UI4, &ulValue);
}
BOOL PX_ULong(CPropExchange* pPX, LPCTSTR pszPropName, ULONG& ulValue, ULONG ulDefault) {
    return pPX->ExchangeProp(pszPropName, VT_UI4, &ulValue, &ulDefault);
}
BOOL PX_Bool(CPropExchange* pPX, LPCTSTR pszPropName, BOOL& bValue) {
    return pPX->ExchangeProp(pszPropName, VT_BOOL, &bValue);
}
BOOL PX_Bool(CPropExchange* pPX, LPCTSTR pszPropName, BOOL& bValue, BOOL bDefault) {
    return pPX->ExchangeProp(pszPropName, VT_BOOL, &bValue, &bDefault);
}
BOOL PX_String(CPropExchange* pPX, LPCTSTR pszPropName, CString& strValue) {
    return pPX->ExchangeProp(pszPropName, VT_BSTR, &strValue);
}
BOOL PX_String(CPropExchange* pPX, LPCTSTR pszPropName, CString& strValue,
               const CString& strDefault) {
    return pPX->ExchangeProp(pszPropName, VT_BSTR, &strValue, &strDefault);
}
