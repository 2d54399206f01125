#pragma once
// The automation value: a tagged union of the types automation clients pass,
// and the records of a late-bound call.

#include <string>
#include <string_view>

#include "platform/com/ComError.h"
#include "platform/com/Unknown.h"
#include "platform/text/Bstr.h"
#include "platform/win/WinTypes.h"

struct IDispatch;

using VARTYPE = unsigned short;
using VARIANT_BOOL = short;
using SHORT = std::int16_t;
using USHORT = std::uint16_t;
using CHAR = char;
using INT = int;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using DISPID = LONG;
using MEMBERID = DISPID;
using LCID = DWORD;

inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_DECIMAL = 14,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_VOID = 24,
    VT_HRESULT = 25,
    VT_PTR = 26,
    VT_SAFEARRAY = 27,
    VT_CARRAY = 28,
    VT_USERDEFINED = 29,
    VT_LPSTR = 30,
    VT_LPWSTR = 31,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
    VT_TYPEMASK = 0x0FFF,
};

// Flags of VariantChangeType.
inline constexpr USHORT VARIANT_NOVALUEPROP = 0x01;
inline constexpr USHORT VARIANT_ALPHABOOL = 0x02;
inline constexpr USHORT VARIANT_NOUSEROVERRIDE = 0x04;
inline constexpr USHORT VARIANT_LOCALBOOL = 0x10;

struct VARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONGLONG llVal;
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        float fltVal;
        double dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        CHAR cVal;
        USHORT uiVal;
        ULONG ulVal;
        ULONGLONG ullVal;
        INT intVal;
        UINT uintVal;
        BYTE* pbVal;
        SHORT* piVal;
        LONG* plVal;
        LONGLONG* pllVal;
        float* pfltVal;
        double* pdblVal;
        VARIANT_BOOL* pboolVal;
        SCODE* pscode;
        BSTR* pbstrVal;
        IUnknown** ppunkVal;
        IDispatch** ppdispVal;
        VARIANT* pvarVal;
        void* byref;
        CHAR* pcVal;
        USHORT* puiVal;
        ULONG* pulVal;
        ULONGLONG* pullVal;
        INT* pintVal;
        UINT* puintVal;
    };
};
using VARIANTARG = VARIANT;
using LPVARIANT = VARIANT*;

struct DISPPARAMS {
    VARIANTARG* rgvarg;  // the arguments, last one first
    DISPID* rgdispidNamedArgs;
    UINT cArgs;
    UINT cNamedArgs;
};

struct EXCEPINFO {
    WORD wCode;
    WORD wReserved;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    DWORD dwHelpContext;
    void* pvReserved;
    HRESULT (*pfnDeferredFillIn)(EXCEPINFO*);
    SCODE scode;
};

inline constexpr DISPID DISPID_UNKNOWN = -1;
inline constexpr DISPID DISPID_VALUE = 0;
inline constexpr DISPID DISPID_PROPERTYPUT = -3;
inline constexpr DISPID DISPID_ABOUTBOX = -552;
inline constexpr MEMBERID MEMBERID_NIL = DISPID_UNKNOWN;

inline constexpr WORD DISPATCH_METHOD = 0x1;
inline constexpr WORD DISPATCH_PROPERTYGET = 0x2;
inline constexpr WORD DISPATCH_PROPERTYPUT = 0x4;
inline constexpr WORD DISPATCH_PROPERTYPUTREF = 0x8;

inline constexpr LCID LOCALE_NEUTRAL = 0x0000;
inline constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;
inline constexpr LCID LOCALE_USER_DEFAULT = 0x0400;

void VariantInit(VARIANTARG* pvarg);
// Frees what the value owns (string, interface reference) and leaves it empty.
HRESULT VariantClear(VARIANTARG* pvarg);
// Clears the destination, then copies the source deeply (a new string, one
// more interface reference); a reference (VT_BYREF) is copied as the pointer.
HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);
// The same, with a reference replaced by a copy of what it points to.
HRESULT VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc);
// Converts between integers, reals, booleans and strings the way automation
// clients expect: "12" and " 12 " are 12, "abc" is DISP_E_TYPEMISMATCH, a
// value outside the target's range is DISP_E_OVERFLOW; booleans are -1 and 0,
// read from "True"/"False" or any number, written as "True"/"False". The
// destination may be the source; on failure it is left as it was.
HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags,
                          VARTYPE vt);

namespace platform::com {

// Owns one VARIANT, for hosts and tests.
class Variant {
public:
    Variant() { VariantInit(&m_v); }
    ~Variant() { VariantClear(&m_v); }
    Variant(const Variant& other) : Variant() { VariantCopy(&m_v, &other.m_v); }
    Variant& operator=(const Variant& other) {
        if (this != &other) VariantCopy(&m_v, &other.m_v);
        return *this;
    }
    // Moving hands the value over as it is: a long string is not copied.
    Variant(Variant&& other) noexcept : m_v(other.m_v) { VariantInit(&other.m_v); }
    Variant& operator=(Variant&& other) noexcept {
        if (this != &other) {
            VariantClear(&m_v);
            m_v = other.m_v;
            VariantInit(&other.m_v);
        }
        return *this;
    }

    static Variant I2(SHORT value);
    static Variant I4(LONG value);
    static Variant Bool(bool value);
    static Variant Null();
    // A new string from UTF-8 text.
    static Variant Str(std::string_view utf8);
    static Variant Str16(std::u16string_view text);
    // Takes over a string the caller owns (null allowed).
    static Variant TakeBstr(BSTR owned);

    VARIANT* Ptr() { return &m_v; }
    VARIANT& Raw() { return m_v; }
    const VARIANT& Raw() const { return m_v; }
    VARTYPE Type() const { return m_v.vt; }

private:
    VARIANT m_v;
};

// The name of a variant type for messages: "VT_BSTR", "VT_BYREF|VT_BSTR".
std::string VarTypeName(VARTYPE vt);

}  // namespace platform::com
