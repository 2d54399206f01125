#pragma once
// Result codes of the object model (HRESULTs): success, the generic failures,
// and those of dispatch, type information, class objects, connection points,
// self-registration and the class registry. Values are the platform's
// standard ones. E_FAIL, E_INVALIDARG and E_OUTOFMEMORY are also last-error
// codes and live, as such, in platform/win/WinError.h; compare them with an
// HRESULT through HRESULT(...).

#include <string>

#include "platform/win/WinError.h"
#include "platform/win/WinTypes.h"

using SCODE = LONG;

inline constexpr bool SUCCEEDED(HRESULT hr) {
    return hr >= 0;
}
inline constexpr bool FAILED(HRESULT hr) {
    return hr < 0;
}

namespace platform::com {
constexpr HRESULT Hr(DWORD code) {
    return static_cast<HRESULT>(code);
}
}  // namespace platform::com

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT NOERROR = 0;

inline constexpr HRESULT E_NOTIMPL = platform::com::Hr(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = platform::com::Hr(0x80004002);
inline constexpr HRESULT E_POINTER = platform::com::Hr(0x80004003);
inline constexpr HRESULT E_ABORT = platform::com::Hr(0x80004004);
inline constexpr HRESULT E_UNEXPECTED = platform::com::Hr(0x8000FFFF);
inline constexpr HRESULT E_ACCESSDENIED = platform::com::Hr(0x80070005);

inline constexpr HRESULT DISP_E_UNKNOWNINTERFACE = platform::com::Hr(0x80020001);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = platform::com::Hr(0x80020003);
inline constexpr HRESULT DISP_E_PARAMNOTFOUND = platform::com::Hr(0x80020004);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = platform::com::Hr(0x80020005);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = platform::com::Hr(0x80020006);
inline constexpr HRESULT DISP_E_NONAMEDARGS = platform::com::Hr(0x80020007);
inline constexpr HRESULT DISP_E_BADVARTYPE = platform::com::Hr(0x80020008);
inline constexpr HRESULT DISP_E_EXCEPTION = platform::com::Hr(0x80020009);
inline constexpr HRESULT DISP_E_OVERFLOW = platform::com::Hr(0x8002000A);
inline constexpr HRESULT DISP_E_BADINDEX = platform::com::Hr(0x8002000B);
inline constexpr HRESULT DISP_E_UNKNOWNLCID = platform::com::Hr(0x8002000C);
inline constexpr HRESULT DISP_E_ARRAYISLOCKED = platform::com::Hr(0x8002000D);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = platform::com::Hr(0x8002000E);
inline constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = platform::com::Hr(0x8002000F);
inline constexpr HRESULT DISP_E_BADCALLEE = platform::com::Hr(0x80020010);
inline constexpr HRESULT DISP_E_NOTACOLLECTION = platform::com::Hr(0x80020011);

inline constexpr HRESULT TYPE_E_BUFFERTOOSMALL = platform::com::Hr(0x80028016);
inline constexpr HRESULT TYPE_E_FIELDNOTFOUND = platform::com::Hr(0x80028017);
inline constexpr HRESULT TYPE_E_INVDATAREAD = platform::com::Hr(0x80028018);
inline constexpr HRESULT TYPE_E_UNSUPFORMAT = platform::com::Hr(0x80028019);
inline constexpr HRESULT TYPE_E_REGISTRYACCESS = platform::com::Hr(0x8002801C);
inline constexpr HRESULT TYPE_E_LIBNOTREGISTERED = platform::com::Hr(0x8002801D);
inline constexpr HRESULT TYPE_E_UNDEFINEDTYPE = platform::com::Hr(0x80028027);
inline constexpr HRESULT TYPE_E_INVALIDSTATE = platform::com::Hr(0x80028029);
inline constexpr HRESULT TYPE_E_WRONGTYPEKIND = platform::com::Hr(0x8002802A);
inline constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = platform::com::Hr(0x8002802B);
inline constexpr HRESULT TYPE_E_AMBIGUOUSNAME = platform::com::Hr(0x8002802C);
inline constexpr HRESULT TYPE_E_NAMECONFLICT = platform::com::Hr(0x8002802D);
inline constexpr HRESULT TYPE_E_UNKNOWNLCID = platform::com::Hr(0x8002802E);
inline constexpr HRESULT TYPE_E_BADMODULEKIND = platform::com::Hr(0x800288BD);
inline constexpr HRESULT TYPE_E_SIZETOOBIG = platform::com::Hr(0x800288C5);
inline constexpr HRESULT TYPE_E_DUPLICATEID = platform::com::Hr(0x800288C6);
inline constexpr HRESULT TYPE_E_INVALIDID = platform::com::Hr(0x800288CF);
inline constexpr HRESULT TYPE_E_TYPEMISMATCH = platform::com::Hr(0x80028CA0);
inline constexpr HRESULT TYPE_E_OUTOFBOUNDS = platform::com::Hr(0x80028CA1);
inline constexpr HRESULT TYPE_E_IOERROR = platform::com::Hr(0x80028CA2);
inline constexpr HRESULT TYPE_E_CANTLOADLIBRARY = platform::com::Hr(0x80029C4A);

inline constexpr HRESULT CLASS_E_NOAGGREGATION = platform::com::Hr(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = platform::com::Hr(0x80040111);
inline constexpr HRESULT CLASS_E_NOTLICENSED = platform::com::Hr(0x80040112);

inline constexpr HRESULT REGDB_E_READREGDB = platform::com::Hr(0x80040150);
inline constexpr HRESULT REGDB_E_WRITEREGDB = platform::com::Hr(0x80040151);
inline constexpr HRESULT REGDB_E_KEYMISSING = platform::com::Hr(0x80040152);
inline constexpr HRESULT REGDB_E_INVALIDVALUE = platform::com::Hr(0x80040153);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = platform::com::Hr(0x80040154);
inline constexpr HRESULT REGDB_E_IIDNOTREG = platform::com::Hr(0x80040155);

// Connection points and self-registration share the interface facility, so
// their values coincide.
inline constexpr HRESULT CONNECT_E_NOCONNECTION = platform::com::Hr(0x80040200);
inline constexpr HRESULT CONNECT_E_ADVISELIMIT = platform::com::Hr(0x80040201);
inline constexpr HRESULT CONNECT_E_CANNOTCONNECT = platform::com::Hr(0x80040202);
inline constexpr HRESULT CONNECT_E_OVERRIDDEN = platform::com::Hr(0x80040203);
inline constexpr HRESULT SELFREG_E_TYPELIB = platform::com::Hr(0x80040200);
inline constexpr HRESULT SELFREG_E_CLASS = platform::com::Hr(0x80040201);

inline constexpr HRESULT CO_E_CLASSSTRING = platform::com::Hr(0x800401F3);
inline constexpr HRESULT CO_E_IIDSTRING = platform::com::Hr(0x800401F4);

namespace platform::com {
// The symbolic name of a code ("TYPE_E_INVDATAREAD"), or its hexadecimal
// form ("0x80001234") when it has none here.
std::string HResultName(HRESULT hr);
}  // namespace platform::com
