#include "platform/com/DispatchTable.h"

#include <cstring>
#include <exception>
#include <new>

#include "platform/com/ModuleState.h"
#include "platform/text/NoCase.h"
#include "platform/text/Utf.h"
#include "platform/win/Failure.h"

namespace platform::com {
namespace {

struct Found {
    const DispatchTable* table = nullptr;
    const DispatchEntry* entry = nullptr;
};

Found FindEntry(const DispatchTable& table, DISPID id) {
    int depth = 0;
    for (const DispatchTable* t = &table; t != nullptr; t = t->pBaseTable, ++depth)
        for (std::size_t i = 0; i < t->entries.size(); ++i)
            if (DispIdOfEntry(*t, i, depth) == id) return {t, &t->entries[i]};
    return {};
}

// Codes a failed coercion reports to the caller: what does not fit is an
// overflow, everything else cannot be converted.
HRESULT CoercionFailure(HRESULT hr) {
    if (hr == DISP_E_OVERFLOW || hr == HRESULT(E_OUTOFMEMORY)) return hr;
    return DISP_E_TYPEMISMATCH;
}

// A string reaches the member as UTF-8 only when nothing would be lost on the
// way: a NUL character would cut it short and a lone surrogate has no UTF-8
// form.
HRESULT TextForMember(std::u16string_view text, DispatchArg& out) {
    if (text.find(u'\0') != std::u16string_view::npos) return DISP_E_TYPEMISMATCH;
    auto utf8 = Utf16ToUtf8Exact(text);
    if (!utf8) return DISP_E_TYPEMISMATCH;
    out.text = std::move(*utf8);
    return S_OK;
}

// One argument as the parameter code asks.
HRESULT ConvertArg(const VARIANT& v, char code, DispatchArg& out) {
    // A string, given directly or by reference, is read where the caller
    // keeps it: a text of any size is not copied on its way to the member.
    if (code == kVtsBstr && (v.vt == VT_BSTR || v.vt == (VT_BYREF | VT_BSTR))) {
        if (v.vt == (VT_BYREF | VT_BSTR) && v.pbstrVal == nullptr) return DISP_E_TYPEMISMATCH;
        const BSTR b = v.vt == VT_BSTR ? v.bstrVal : *v.pbstrVal;
        return TextForMember(std::u16string_view(b != nullptr ? b : u"", SysStringLen(b)), out);
    }
    VARIANT converted;
    VariantInit(&converted);
    VARTYPE vt = VT_EMPTY;
    switch (code) {
        case kVtsBstr:
            vt = VT_BSTR;
            break;
        case kVtsI4:
            vt = VT_I4;
            break;
        case kVtsI2:
            vt = VT_I2;
            break;
        case kVtsBool:
            vt = VT_BOOL;
            break;
        default:
            return DISP_E_BADVARTYPE;
    }
    const HRESULT hr = VariantChangeType(&converted, &v, 0, vt);
    if (FAILED(hr)) return CoercionFailure(hr);
    switch (code) {
        case kVtsBstr: {
            const BSTR b = converted.bstrVal;
            const HRESULT result =
                TextForMember(std::u16string_view(b != nullptr ? b : u"", SysStringLen(b)), out);
            VariantClear(&converted);
            return result;
        }
        case kVtsI4:
            out.value = converted.lVal;
            return S_OK;
        case kVtsI2:
            out.value = converted.iVal;
            return S_OK;
        default:
            out.value = converted.boolVal != VARIANT_FALSE ? TRUE : FALSE;
            return S_OK;
    }
}

HRESULT Deliver(VARTYPE vt, DispatchReturn& ret, VARIANT* pVarResult) {
    if (pVarResult == nullptr) {
        SysFreeString(std::exchange(ret.text, nullptr));
        return S_OK;
    }
    VariantInit(pVarResult);
    switch (vt) {
        case VT_BSTR:
            // The null string stays null: it is a result of its own.
            pVarResult->vt = VT_BSTR;
            pVarResult->bstrVal = std::exchange(ret.text, nullptr);
            return S_OK;
        case VT_BOOL:
            pVarResult->vt = VT_BOOL;
            pVarResult->boolVal = ret.value != 0 ? VARIANT_TRUE : VARIANT_FALSE;
            return S_OK;
        case VT_I4:
            if (ret.value < INT32_MIN || ret.value > INT32_MAX) return DISP_E_OVERFLOW;
            pVarResult->vt = VT_I4;
            pVarResult->lVal = static_cast<LONG>(ret.value);
            return S_OK;
        case VT_I2:
            if (ret.value < INT16_MIN || ret.value > INT16_MAX) return DISP_E_OVERFLOW;
            pVarResult->vt = VT_I2;
            pVarResult->iVal = static_cast<SHORT>(ret.value);
            return S_OK;
        default:
            return S_OK;
    }
}

void FillException(EXCEPINFO* info, HRESULT scode, const std::string& description) {
    if (info == nullptr) return;
    std::memset(info, 0, sizeof *info);
    info->scode = scode;
    if (const char* app = AfxGetModuleState()->m_lpszCurrentAppName) {
        const std::u16string source = Utf8ToUtf16(app);
        info->bstrSource = SysAllocStringLen(source.data(), static_cast<UINT>(source.size()));
    }
    const std::u16string text = Utf8ToUtf16(description);
    info->bstrDescription = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

}  // namespace

DISPID DispIdOfEntry(const DispatchTable& table, std::size_t index, int depth) {
    const DispatchEntry& e = table.entries[index];
    if (e.lDispID != DISPID_UNKNOWN) return e.lDispID;
    return static_cast<DISPID>((std::uint32_t(depth) << 16) | std::uint32_t(index + 1));
}

DISPID FindDispId(const DispatchTable& table, std::u16string_view name) {
    const auto utf8 = Utf16ToUtf8Exact(name);
    if (!utf8) return DISPID_UNKNOWN;
    int depth = 0;
    for (const DispatchTable* t = &table; t != nullptr; t = t->pBaseTable, ++depth)
        for (std::size_t i = 0; i < t->entries.size(); ++i)
            if (platform::text::EqualsNoCase(t->entries[i].lpszName, *utf8))
                return DispIdOfEntry(*t, i, depth);
    return DISPID_UNKNOWN;
}

HRESULT GetIDsOfNamesFromTable(const DispatchTable& table, REFIID riid, LPOLESTR* rgszNames,
                               UINT cNames, DISPID* rgDispId) {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    if (cNames == 0) return S_OK;
    if (rgszNames == nullptr || rgDispId == nullptr) return HRESULT(E_INVALIDARG);
    return platform::RunGuardedHr("GetIDsOfNamesFromTable", [&]() -> HRESULT {
        HRESULT hr = S_OK;
        for (UINT i = 0; i < cNames; ++i) {
            rgDispId[i] = DISPID_UNKNOWN;
            if (i == 0 && rgszNames[0] != nullptr) {
                std::size_t n = 0;
                while (rgszNames[0][n] != 0) ++n;
                rgDispId[0] = FindDispId(table, std::u16string_view(rgszNames[0], n));
            }
            if (rgDispId[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
        }
        return hr;
    });
}

HRESULT InvokeFromTable(const DispatchTable& table, DispatchObject object, DISPID dispIdMember,
                        REFIID riid, WORD wFlags, DISPPARAMS* pDispParams, VARIANT* pVarResult,
                        EXCEPINFO* pExcepInfo, UINT* puArgErr) {
    return platform::RunGuardedHr("InvokeFromTable", [&]() -> HRESULT {
        if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
        if (pDispParams == nullptr) return HRESULT(E_INVALIDARG);
        const Found found = FindEntry(table, dispIdMember);
        if (found.entry == nullptr) return DISP_E_MEMBERNOTFOUND;
        // Methods only: script hosts call them with the property-get bit too.
        if ((wFlags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0 ||
            (wFlags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) == 0)
            return DISP_E_MEMBERNOTFOUND;
        if (pDispParams->cNamedArgs > 0) return DISP_E_NONAMEDARGS;
        const DispatchEntry& entry = *found.entry;
        const std::size_t count = std::strlen(entry.lpszParams);
        if (pDispParams->cArgs > count) return DISP_E_BADPARAMCOUNT;
        if (pDispParams->cArgs < count) return DISP_E_PARAMNOTOPTIONAL;
        if (count > 0 && pDispParams->rgvarg == nullptr) return HRESULT(E_INVALIDARG);
        if (object.pointer == nullptr || object.type == nullptr ||
            found.table->pObjectType == nullptr || *object.type != *found.table->pObjectType)
            return E_UNEXPECTED;

        std::vector<DispatchArg> args(count);
        for (std::size_t i = 0; i < count; ++i) {
            // Arguments arrive last first.
            const UINT at = static_cast<UINT>(count - 1 - i);
            const HRESULT hr = ConvertArg(pDispParams->rgvarg[at], entry.lpszParams[i], args[i]);
            if (FAILED(hr)) {
                if (puArgErr != nullptr) *puArgErr = at;
                return hr;
            }
        }

        DispatchReturn ret;
        try {
            entry.pfn(object.pointer, args, ret);
        } catch (const COleDispatchException& e) {
            FillException(pExcepInfo,
                          e.m_wCode != 0     ? 0
                          : e.m_scError != 0 ? e.m_scError
                                             : HRESULT(E_FAIL),
                          e.m_strDescription);
            if (pExcepInfo != nullptr) {
                pExcepInfo->wCode = e.m_wCode;
                pExcepInfo->dwHelpContext = e.m_dwHelpContext;
            }
            return DISP_E_EXCEPTION;
        } catch (const std::bad_alloc&) {
            FillException(pExcepInfo, HRESULT(E_OUTOFMEMORY), "Out of memory.");
            return DISP_E_EXCEPTION;
        } catch (const std::exception& e) {
            FillException(pExcepInfo, HRESULT(E_FAIL), e.what());
            return DISP_E_EXCEPTION;
        } catch (...) {
            FillException(pExcepInfo, E_UNEXPECTED, "An unexpected error occurred.");
            return DISP_E_EXCEPTION;
        }
        const HRESULT hr = Deliver(entry.vt, ret, pVarResult);
        SysFreeString(ret.text);
        return hr;
    });
}

}  // namespace platform::com
