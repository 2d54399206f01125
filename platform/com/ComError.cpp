#include "platform/com/ComError.h"

#include <cstdio>

namespace platform::com {

std::string HResultName(HRESULT hr) {
    struct Name {
        HRESULT code;
        const char* name;
    };
#define OSTREL_HR_NAME(code) \
    { HRESULT(code), #code }
    static constexpr Name kNames[] = {
        OSTREL_HR_NAME(S_OK),
        OSTREL_HR_NAME(S_FALSE),
        OSTREL_HR_NAME(E_NOTIMPL),
        OSTREL_HR_NAME(E_NOINTERFACE),
        OSTREL_HR_NAME(E_POINTER),
        OSTREL_HR_NAME(E_ABORT),
        OSTREL_HR_NAME(E_FAIL),
        OSTREL_HR_NAME(E_UNEXPECTED),
        OSTREL_HR_NAME(E_ACCESSDENIED),
        OSTREL_HR_NAME(E_OUTOFMEMORY),
        OSTREL_HR_NAME(E_INVALIDARG),
        OSTREL_HR_NAME(DISP_E_UNKNOWNINTERFACE),
        OSTREL_HR_NAME(DISP_E_MEMBERNOTFOUND),
        OSTREL_HR_NAME(DISP_E_PARAMNOTFOUND),
        OSTREL_HR_NAME(DISP_E_TYPEMISMATCH),
        OSTREL_HR_NAME(DISP_E_UNKNOWNNAME),
        OSTREL_HR_NAME(DISP_E_NONAMEDARGS),
        OSTREL_HR_NAME(DISP_E_BADVARTYPE),
        OSTREL_HR_NAME(DISP_E_EXCEPTION),
        OSTREL_HR_NAME(DISP_E_OVERFLOW),
        OSTREL_HR_NAME(DISP_E_BADINDEX),
        OSTREL_HR_NAME(DISP_E_BADPARAMCOUNT),
        OSTREL_HR_NAME(DISP_E_PARAMNOTOPTIONAL),
        OSTREL_HR_NAME(TYPE_E_INVDATAREAD),
        OSTREL_HR_NAME(TYPE_E_UNSUPFORMAT),
        OSTREL_HR_NAME(TYPE_E_LIBNOTREGISTERED),
        OSTREL_HR_NAME(TYPE_E_ELEMENTNOTFOUND),
        OSTREL_HR_NAME(TYPE_E_SIZETOOBIG),
        OSTREL_HR_NAME(TYPE_E_IOERROR),
        OSTREL_HR_NAME(TYPE_E_CANTLOADLIBRARY),
        OSTREL_HR_NAME(CLASS_E_NOAGGREGATION),
        OSTREL_HR_NAME(CLASS_E_CLASSNOTAVAILABLE),
        OSTREL_HR_NAME(REGDB_E_CLASSNOTREG),
        OSTREL_HR_NAME(CONNECT_E_NOCONNECTION),
        OSTREL_HR_NAME(CONNECT_E_CANNOTCONNECT),
        OSTREL_HR_NAME(CO_E_CLASSSTRING),
        // Data transfer: declared with the control interfaces, out of sight here.
        {HRESULT(0x80040064), "DV_E_FORMATETC"},
        {HRESULT(0x80040068), "DV_E_LINDEX"},
        {HRESULT(0x80040069), "DV_E_TYMED"},
        {HRESULT(0x8004006B), "DV_E_DVASPECT"},
    };
#undef OSTREL_HR_NAME
    for (const auto& n : kNames)
        if (n.code == hr) return n.name;
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

}  // namespace platform::com
