#include "platform/com/Variant.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#include "platform/com/Dispatch.h"
#include "platform/seams/Seams.h"
#include "platform/text/NoCase.h"
#include "platform/text/Utf.h"
#include "platform/win/Failure.h"

namespace {

bool IsScalarType(VARTYPE base) {
    switch (base) {
        case VT_I2:
        case VT_I4:
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_ERROR:
        case VT_BOOL:
        case VT_I1:
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_I8:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
            return true;
        default:
            return false;
    }
}

// The types a VARIANT of ours may hold, directly or by reference.
bool IsValidType(VARTYPE vt) {
    if (vt & VT_ARRAY) return false;
    const VARTYPE base = vt & VT_TYPEMASK;
    if (vt & ~(VT_TYPEMASK | VT_BYREF)) return false;
    if (vt & VT_BYREF)
        return IsScalarType(base) || base == VT_BSTR || base == VT_DISPATCH || base == VT_UNKNOWN ||
               base == VT_VARIANT;
    return base == VT_EMPTY || base == VT_NULL || IsScalarType(base) || base == VT_BSTR ||
           base == VT_DISPATCH || base == VT_UNKNOWN;
}

// A value read out of a VARIANT, whatever its width, on its way to another type.
struct Scalar {
    enum Kind { Empty, Signed, Unsigned, Real, Boolean, Text } kind = Empty;
    std::int64_t i = 0;
    std::uint64_t u = 0;
    double d = 0;
    bool b = false;
    std::u16string_view text;
};

bool IsSpace(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

std::u16string_view Trim(std::u16string_view s) {
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
    return s;
}

// A decimal number: optional sign, digits with an optional fraction, an
// optional exponent, spaces around; anything else is not a number.
std::optional<Scalar> ParseNumber(std::u16string_view text) {
    text = Trim(text);
    std::string ascii;
    bool negative = false;
    std::size_t i = 0;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
    bool digits = false, real = false;
    while (i < text.size() && text[i] >= u'0' && text[i] <= u'9') {
        ascii += char(text[i++]);
        digits = true;
    }
    if (i < text.size() && text[i] == u'.') {
        real = true;
        ascii += '.';
        ++i;
        while (i < text.size() && text[i] >= u'0' && text[i] <= u'9') {
            ascii += char(text[i++]);
            digits = true;
        }
    }
    if (!digits) return std::nullopt;
    if (i < text.size() && (text[i] == u'e' || text[i] == u'E')) {
        real = true;
        ascii += 'e';
        ++i;
        if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) ascii += char(text[i++]);
        bool expDigits = false;
        while (i < text.size() && text[i] >= u'0' && text[i] <= u'9') {
            ascii += char(text[i++]);
            expDigits = true;
        }
        if (!expDigits) return std::nullopt;
    }
    if (i != text.size()) return std::nullopt;

    const char* first = ascii.data();
    const char* last = first + ascii.size();
    Scalar s;
    if (!real) {
        std::uint64_t magnitude = 0;
        const auto r = std::from_chars(first, last, magnitude);
        if (r.ec == std::errc() && r.ptr == last) {
            if (!negative) {
                s.kind = Scalar::Unsigned;
                s.u = magnitude;
                return s;
            }
            if (magnitude <= std::uint64_t(std::numeric_limits<std::int64_t>::max()) + 1) {
                s.kind = Scalar::Signed;
                s.i = magnitude == 0 ? 0 : -std::int64_t(magnitude - 1) - 1;
                return s;
            }
        }
    }
    double value = 0;
    const auto r = std::from_chars(first, last, value);
    if (r.ptr != last) return std::nullopt;
    // Out of the range of a double: too large for any target.
    if (r.ec == std::errc::result_out_of_range)
        value = std::numeric_limits<double>::infinity();
    else if (r.ec != std::errc())
        return std::nullopt;
    s.kind = Scalar::Real;
    s.d = negative ? -value : value;
    return s;
}

// Reads a VARIANT (through one reference) into a Scalar. DISP_E_TYPEMISMATCH
// for what has no scalar value (null, interfaces), DISP_E_BADVARTYPE for what
// this layer does not carry.
HRESULT ReadScalar(const VARIANT& v, Scalar& s) {
    const bool ref = (v.vt & VT_BYREF) != 0;
    if (ref && v.byref == nullptr) return HRESULT(E_INVALIDARG);
    switch (v.vt & VT_TYPEMASK) {
        case VT_EMPTY:
            s.kind = Scalar::Empty;
            return ref ? DISP_E_BADVARTYPE : S_OK;
        case VT_I1:
            s.kind = Scalar::Signed, s.i = ref ? *v.pcVal : v.cVal;
            return S_OK;
        case VT_I2:
            s.kind = Scalar::Signed, s.i = ref ? *v.piVal : v.iVal;
            return S_OK;
        case VT_I4:
            s.kind = Scalar::Signed, s.i = ref ? *v.plVal : v.lVal;
            return S_OK;
        case VT_INT:
            s.kind = Scalar::Signed, s.i = ref ? *v.pintVal : v.intVal;
            return S_OK;
        case VT_I8:
            s.kind = Scalar::Signed, s.i = ref ? *v.pllVal : v.llVal;
            return S_OK;
        case VT_UI1:
            s.kind = Scalar::Unsigned, s.u = ref ? *v.pbVal : v.bVal;
            return S_OK;
        case VT_UI2:
            s.kind = Scalar::Unsigned, s.u = ref ? *v.puiVal : v.uiVal;
            return S_OK;
        case VT_UI4:
            s.kind = Scalar::Unsigned, s.u = ref ? *v.pulVal : v.ulVal;
            return S_OK;
        case VT_UINT:
            s.kind = Scalar::Unsigned, s.u = ref ? *v.puintVal : v.uintVal;
            return S_OK;
        case VT_UI8:
            s.kind = Scalar::Unsigned, s.u = ref ? *v.pullVal : v.ullVal;
            return S_OK;
        case VT_R4:
            s.kind = Scalar::Real, s.d = ref ? *v.pfltVal : v.fltVal;
            return S_OK;
        case VT_R8:
            s.kind = Scalar::Real, s.d = ref ? *v.pdblVal : v.dblVal;
            return S_OK;
        case VT_BOOL:
            s.kind = Scalar::Boolean, s.b = (ref ? *v.pboolVal : v.boolVal) != VARIANT_FALSE;
            return S_OK;
        case VT_BSTR: {
            const BSTR b = ref ? *v.pbstrVal : v.bstrVal;
            s.kind = Scalar::Text, s.text = std::u16string_view(b ? b : u"", SysStringLen(b));
            return S_OK;
        }
        case VT_NULL:
        case VT_ERROR:
        case VT_DISPATCH:
        case VT_UNKNOWN:
            return DISP_E_TYPEMISMATCH;
        default:
            return DISP_E_BADVARTYPE;
    }
}

template <class T>
HRESULT ToInteger(const Scalar& s, T& out) {
    using Limits = std::numeric_limits<T>;
    switch (s.kind) {
        case Scalar::Empty:
            out = 0;
            return S_OK;
        case Scalar::Boolean:
            // True is all bits set, whatever the width.
            out = s.b ? static_cast<T>(~T(0)) : T(0);
            return S_OK;
        case Scalar::Signed:
            if (s.i < 0 && !Limits::is_signed) return DISP_E_OVERFLOW;
            if constexpr (Limits::is_signed) {
                if (s.i < std::int64_t(Limits::min()) || s.i > std::int64_t(Limits::max()))
                    return DISP_E_OVERFLOW;
            } else {
                if (std::uint64_t(s.i) > std::uint64_t(Limits::max())) return DISP_E_OVERFLOW;
            }
            out = static_cast<T>(s.i);
            return S_OK;
        case Scalar::Unsigned:
            if (s.u > std::uint64_t(Limits::max())) return DISP_E_OVERFLOW;
            out = static_cast<T>(s.u);
            return S_OK;
        case Scalar::Real: {
            if (!std::isfinite(s.d)) return DISP_E_OVERFLOW;
            // Halves go to the even neighbour, as automation clients round.
            const double r = std::nearbyint(s.d);
            if (r < double(Limits::min()) || r >= std::ldexp(1.0, Limits::digits) ||
                (Limits::is_signed && r < -std::ldexp(1.0, Limits::digits)))
                return DISP_E_OVERFLOW;
            out = static_cast<T>(r);
            return S_OK;
        }
        case Scalar::Text: {
            const auto number = ParseNumber(s.text);
            if (!number) return DISP_E_TYPEMISMATCH;
            return ToInteger(*number, out);
        }
    }
    return DISP_E_TYPEMISMATCH;
}

HRESULT ToReal(const Scalar& s, double& out) {
    switch (s.kind) {
        case Scalar::Empty:
            out = 0;
            return S_OK;
        case Scalar::Boolean:
            out = s.b ? -1.0 : 0.0;
            return S_OK;
        case Scalar::Signed:
            out = double(s.i);
            return S_OK;
        case Scalar::Unsigned:
            out = double(s.u);
            return S_OK;
        case Scalar::Real:
            out = s.d;
            return S_OK;
        case Scalar::Text: {
            const auto number = ParseNumber(s.text);
            if (!number) return DISP_E_TYPEMISMATCH;
            const HRESULT hr = ToReal(*number, out);
            if (SUCCEEDED(hr) && !std::isfinite(out)) return DISP_E_OVERFLOW;
            return hr;
        }
    }
    return DISP_E_TYPEMISMATCH;
}

HRESULT ToBool(const Scalar& s, bool& out) {
    switch (s.kind) {
        case Scalar::Empty:
            out = false;
            return S_OK;
        case Scalar::Boolean:
            out = s.b;
            return S_OK;
        case Scalar::Signed:
            out = s.i != 0;
            return S_OK;
        case Scalar::Unsigned:
            out = s.u != 0;
            return S_OK;
        case Scalar::Real:
            out = s.d != 0;
            return S_OK;
        case Scalar::Text: {
            const auto t = Trim(s.text);
            if (platform::text::EqualsNoCase(t, u"True")) {
                out = true;
                return S_OK;
            }
            if (platform::text::EqualsNoCase(t, u"False")) {
                out = false;
                return S_OK;
            }
            const auto number = ParseNumber(t);
            if (!number) return DISP_E_TYPEMISMATCH;
            return ToBool(*number, out);
        }
    }
    return DISP_E_TYPEMISMATCH;
}

std::string FormatReal(double d, int precision) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, precision);
    std::string text(buf, r.ptr);
    for (char& c : text)
        if (c == 'e') c = 'E';
    return text;
}

HRESULT ToText(const Scalar& s, VARTYPE sourceBase, BSTR& out) {
    std::u16string text;
    switch (s.kind) {
        case Scalar::Empty:
            break;
        case Scalar::Boolean:
            text = s.b ? u"True" : u"False";
            break;
        case Scalar::Signed:
        case Scalar::Unsigned: {
            const std::string digits =
                s.kind == Scalar::Signed ? std::to_string(s.i) : std::to_string(s.u);
            text.assign(digits.begin(), digits.end());
            break;
        }
        case Scalar::Real: {
            const std::string digits = FormatReal(s.d, sourceBase == VT_R4 ? 7 : 15);
            text.assign(digits.begin(), digits.end());
            break;
        }
        case Scalar::Text:
            text = s.text;
            break;
    }
    out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return out == nullptr ? HRESULT(E_OUTOFMEMORY) : S_OK;
}

// The value of an object: its default member, read as a property.
HRESULT ValueOfObject(IDispatch* disp, VARIANT& out) {
    if (disp == nullptr) return DISP_E_TYPEMISMATCH;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VariantInit(&out);
    const HRESULT hr = disp->Invoke(DISPID_VALUE, IID_NULL, LOCALE_USER_DEFAULT,
                                    DISPATCH_PROPERTYGET, &none, &out, nullptr, nullptr);
    if (FAILED(hr)) {
        VariantClear(&out);
        return DISP_E_TYPEMISMATCH;
    }
    return S_OK;
}

HRESULT ChangeInto(VARIANT& result, const VARIANT& src, USHORT flags, VARTYPE vt);

HRESULT ChangeInterface(VARIANT& result, const VARIANT& src, VARTYPE vt) {
    const VARTYPE base = src.vt & VT_TYPEMASK;
    if (base != VT_DISPATCH && base != VT_UNKNOWN) return DISP_E_TYPEMISMATCH;
    IUnknown* unk = (src.vt & VT_BYREF) ? (base == VT_DISPATCH ? *src.ppdispVal : *src.ppunkVal)
                                        : (base == VT_DISPATCH ? src.pdispVal : src.punkVal);
    result.vt = vt;
    result.punkVal = nullptr;
    if (unk == nullptr) return S_OK;
    void* out = nullptr;
    const HRESULT hr =
        unk->QueryInterface(vt == VT_DISPATCH ? IDispatch::kIid : IID_IUnknown, &out);
    if (FAILED(hr)) return DISP_E_TYPEMISMATCH;
    result.punkVal = static_cast<IUnknown*>(out);
    return S_OK;
}

HRESULT ChangeInto(VARIANT& result, const VARIANT& src, USHORT flags, VARTYPE vt) {
    if (src.vt == (VT_BYREF | VT_VARIANT)) {
        if (src.pvarVal == nullptr) return HRESULT(E_INVALIDARG);
        if (src.pvarVal->vt == (VT_BYREF | VT_VARIANT)) return HRESULT(E_INVALIDARG);
        return ChangeInto(result, *src.pvarVal, flags, vt);
    }
    if (!IsValidType(src.vt)) return DISP_E_BADVARTYPE;
    const VARTYPE srcBase = src.vt & VT_TYPEMASK;
    // The same type is a copy: a null string stays null.
    if (srcBase == vt) return VariantCopyInd(&result, &src);

    if (vt == VT_DISPATCH || vt == VT_UNKNOWN) return ChangeInterface(result, src, vt);
    if (vt == VT_EMPTY || vt == VT_NULL || vt == VT_ERROR) {
        if (srcBase != vt) return DISP_E_TYPEMISMATCH;
        result.vt = vt;
        result.scode = vt == VT_ERROR ? ((src.vt & VT_BYREF) ? *src.pscode : src.scode) : 0;
        return S_OK;
    }

    if (srcBase == VT_DISPATCH) {
        if (flags & VARIANT_NOVALUEPROP) return DISP_E_TYPEMISMATCH;
        IDispatch* disp = (src.vt & VT_BYREF) ? *src.ppdispVal : src.pdispVal;
        VARIANT value;
        HRESULT hr = ValueOfObject(disp, value);
        if (FAILED(hr)) return hr;
        hr = ChangeInto(result, value, USHORT(flags | VARIANT_NOVALUEPROP), vt);
        VariantClear(&value);
        return hr;
    }

    Scalar s;
    HRESULT hr = ReadScalar(src, s);
    if (FAILED(hr)) return hr;
    result.vt = vt;
    switch (vt) {
        case VT_I1:
            return ToInteger(s, result.cVal);
        case VT_UI1:
            return ToInteger(s, result.bVal);
        case VT_I2:
            return ToInteger(s, result.iVal);
        case VT_UI2:
            return ToInteger(s, result.uiVal);
        case VT_I4:
            return ToInteger(s, result.lVal);
        case VT_UI4:
            return ToInteger(s, result.ulVal);
        case VT_INT:
            return ToInteger(s, result.intVal);
        case VT_UINT:
            return ToInteger(s, result.uintVal);
        case VT_I8:
            return ToInteger(s, result.llVal);
        case VT_UI8:
            return ToInteger(s, result.ullVal);
        case VT_R8:
            return ToReal(s, result.dblVal);
        case VT_R4: {
            double d = 0;
            hr = ToReal(s, d);
            if (FAILED(hr)) return hr;
            if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max())
                return DISP_E_OVERFLOW;
            result.fltVal = static_cast<float>(d);
            return S_OK;
        }
        case VT_BOOL: {
            bool b = false;
            hr = ToBool(s, b);
            result.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
            return hr;
        }
        case VT_BSTR:
            result.bstrVal = nullptr;
            return ToText(s, srcBase, result.bstrVal);
        default:
            return DISP_E_BADVARTYPE;
    }
}

}  // namespace

void VariantInit(VARIANTARG* pvarg) {
    if (pvarg == nullptr) return;
    std::memset(pvarg, 0, sizeof *pvarg);
    pvarg->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANTARG* pvarg) {
    if (pvarg == nullptr) return HRESULT(E_INVALIDARG);
    return platform::RunGuardedHr("VariantClear", [&]() -> HRESULT {
        if (!IsValidType(pvarg->vt)) return DISP_E_BADVARTYPE;
        switch (pvarg->vt) {
            case VT_BSTR:
                SysFreeString(pvarg->bstrVal);
                break;
            case VT_DISPATCH:
            case VT_UNKNOWN:
                if (pvarg->punkVal != nullptr) pvarg->punkVal->Release();
                break;
            default:
                break;
        }
        VariantInit(pvarg);
        return S_OK;
    });
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
    if (pvargDest == nullptr || pvargSrc == nullptr) return HRESULT(E_INVALIDARG);
    return platform::RunGuardedHr("VariantCopy", [&]() -> HRESULT {
        if (pvargDest == pvargSrc) return S_OK;
        if (!IsValidType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
        VARIANT copy = *pvargSrc;
        if (copy.vt == VT_BSTR && copy.bstrVal != nullptr) {
            copy.bstrVal = SysAllocStringLen(pvargSrc->bstrVal, SysStringLen(pvargSrc->bstrVal));
            if (copy.bstrVal == nullptr) return HRESULT(E_OUTOFMEMORY);
        } else if ((copy.vt == VT_DISPATCH || copy.vt == VT_UNKNOWN) && copy.punkVal != nullptr) {
            copy.punkVal->AddRef();
        }
        const HRESULT hr = VariantClear(pvargDest);
        if (FAILED(hr)) {
            VariantClear(&copy);
            return hr;
        }
        *pvargDest = copy;
        return S_OK;
    });
}

HRESULT VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc) {
    if (pvarDest == nullptr || pvargSrc == nullptr) return HRESULT(E_INVALIDARG);
    return platform::RunGuardedHr("VariantCopyInd", [&]() -> HRESULT {
        if (!(pvargSrc->vt & VT_BYREF)) {
            if (pvarDest == pvargSrc) return S_OK;
            return VariantCopy(pvarDest, pvargSrc);
        }
        if (!IsValidType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
        if (pvargSrc->byref == nullptr) return HRESULT(E_INVALIDARG);
        VARIANT value;
        VariantInit(&value);
        const VARTYPE base = pvargSrc->vt & VT_TYPEMASK;
        if (base == VT_VARIANT) {
            if (pvargSrc->pvarVal->vt & VT_BYREF) return HRESULT(E_INVALIDARG);
            const HRESULT hr = VariantCopy(&value, pvargSrc->pvarVal);
            if (FAILED(hr)) return hr;
        } else {
            value.vt = base;
            switch (base) {
                case VT_I1:
                case VT_UI1:
                    value.bVal = *pvargSrc->pbVal;
                    break;
                case VT_I2:
                case VT_UI2:
                case VT_BOOL:
                    value.uiVal = *pvargSrc->puiVal;
                    break;
                case VT_I4:
                case VT_UI4:
                case VT_INT:
                case VT_UINT:
                case VT_ERROR:
                case VT_R4:
                    value.ulVal = *pvargSrc->pulVal;
                    break;
                case VT_BSTR: {
                    const BSTR b = *pvargSrc->pbstrVal;
                    value.bstrVal = b == nullptr ? nullptr : SysAllocStringLen(b, SysStringLen(b));
                    if (b != nullptr && value.bstrVal == nullptr) return HRESULT(E_OUTOFMEMORY);
                    break;
                }
                case VT_DISPATCH:
                case VT_UNKNOWN:
                    value.punkVal = *pvargSrc->ppunkVal;
                    if (value.punkVal != nullptr) value.punkVal->AddRef();
                    break;
                default:  // the eight-byte values
                    value.ullVal = *pvargSrc->pullVal;
                    break;
            }
        }
        const HRESULT hr = VariantClear(pvarDest);
        if (FAILED(hr)) {
            VariantClear(&value);
            return hr;
        }
        *pvarDest = value;
        return S_OK;
    });
}

HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags,
                          VARTYPE vt) {
    return platform::GuardedHr("VariantChangeType", [&]() -> HRESULT {
        if (pvargDest == nullptr || pvarSrc == nullptr) return HRESULT(E_INVALIDARG);
        if (vt & (VT_BYREF | VT_ARRAY)) return DISP_E_BADVARTYPE;
        VARIANT result;
        VariantInit(&result);
        const HRESULT hr = ChangeInto(result, *pvarSrc, wFlags, vt);
        if (FAILED(hr)) {
            VariantClear(&result);
            return hr;
        }
        if (pvargDest != pvarSrc && !IsValidType(pvargDest->vt)) {
            VariantClear(&result);
            return DISP_E_BADVARTYPE;
        }
        VariantClear(pvargDest);
        *pvargDest = result;
        return S_OK;
    });
}

namespace platform::com {

Variant Variant::I2(SHORT value) {
    Variant v;
    v.m_v.vt = VT_I2;
    v.m_v.iVal = value;
    return v;
}

Variant Variant::I4(LONG value) {
    Variant v;
    v.m_v.vt = VT_I4;
    v.m_v.lVal = value;
    return v;
}

Variant Variant::Bool(bool value) {
    Variant v;
    v.m_v.vt = VT_BOOL;
    v.m_v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}

Variant Variant::Null() {
    Variant v;
    v.m_v.vt = VT_NULL;
    return v;
}

Variant Variant::Str(std::string_view utf8) {
    // Straight into the string, without a whole UTF-16 copy on the way.
    BstrBuilder text;
    text.Reserve(utf8.size());
    text.Append(utf8);
    return TakeBstr(text.Finish().Release());
}

Variant Variant::Str16(std::u16string_view text) {
    return TakeBstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}

Variant Variant::TakeBstr(BSTR owned) {
    Variant v;
    v.m_v.vt = VT_BSTR;
    v.m_v.bstrVal = owned;
    return v;
}

std::string VarTypeName(VARTYPE vt) {
    static constexpr const char* kNames[] = {
        "VT_EMPTY",   "VT_NULL",    "VT_I2",      "VT_I4",        "VT_R4",     "VT_R8",
        "VT_CY",      "VT_DATE",    "VT_BSTR",    "VT_DISPATCH",  "VT_ERROR",  "VT_BOOL",
        "VT_VARIANT", "VT_UNKNOWN", "VT_DECIMAL", nullptr,        "VT_I1",     "VT_UI1",
        "VT_UI2",     "VT_UI4",     "VT_I8",      "VT_UI8",       "VT_INT",    "VT_UINT",
        "VT_VOID",    "VT_HRESULT", "VT_PTR",     "VT_SAFEARRAY", "VT_CARRAY", "VT_USERDEFINED",
        "VT_LPSTR",   "VT_LPWSTR"};
    std::string name;
    if (vt & VT_BYREF) name += "VT_BYREF|";
    if (vt & VT_ARRAY) name += "VT_ARRAY|";
    const VARTYPE base = vt & VT_TYPEMASK;
    if (base < std::size(kNames) && kNames[base] != nullptr)
        name += kNames[base];
    else
        name += "VT_" + std::to_string(base);
    return name;
}

}  // namespace platform::com
