#pragma once
// A small type library with one of everything the format carries.

#include "platform/com/TypeLibFormat.h"

namespace ostrel::test {

inline constexpr GUID kSampleLibId =
    platform::com::MakeGuid("{5A3F1E20-7C4B-4D8E-9F10-2B3C4D5E6F70}");
inline constexpr IID kSampleDispatchIid =
    platform::com::MakeGuid("{5A3F1E21-7C4B-4D8E-9F10-2B3C4D5E6F70}");
inline constexpr CLSID kSampleClsid =
    platform::com::MakeGuid("{5A3F1E22-7C4B-4D8E-9F10-2B3C4D5E6F70}");

inline platform::com::typelib::Library SampleLibrary() {
    using namespace platform::com::typelib;
    Library lib;
    lib.name = "SampleLib";
    lib.libid = kSampleLibId;
    lib.lcid = 0x0409;
    lib.syskind = SYS_WIN32;
    lib.wMajorVerNum = 2;
    lib.wMinorVerNum = 3;
    lib.flags = LIBFLAG_FHIDDEN;
    lib.doc = "Sample library";
    lib.helpContext = 5;
    lib.helpFile = "sample.hlp";
    lib.imports = {{"stdole2.tlb", LIBID_STDOLE2, 2, 0, 0}};
    lib.externals = {{0, "IDispatch", IID_IDispatch, TKIND_INTERFACE}};

    Type dispatch;
    dispatch.kind = TKIND_DISPATCH;
    dispatch.guid = kSampleDispatchIid;
    dispatch.name = "_DSample";
    dispatch.doc = "Sample dispatch interface";
    dispatch.flags = TYPEFLAG_FDISPATCHABLE;
    dispatch.implTypes = {{kExternalRef | 0, 0}};
    Function echo;
    echo.memid = 1;
    echo.name = "Echo";
    echo.doc = "Gives the text back";
    echo.helpContext = 9;
    echo.result = {VT_BSTR};
    echo.params = {{"Text", {VT_BSTR}}};
    Function pair;
    pair.memid = 2;
    pair.name = "Pair";
    pair.result = {VT_BOOL};
    pair.params = {{"Text", {VT_BSTR}}, {"Number", {VT_I4}}};
    Function fill;
    fill.memid = -600;
    fill.name = "Fill";
    fill.result = {VT_VOID};
    fill.params = {{"Out", {VT_PTR, VT_PTR, VT_BSTR}, PARAMFLAG_FOUT}};
    dispatch.functions = {echo, pair, fill};

    Type coclass;
    coclass.kind = TKIND_COCLASS;
    coclass.guid = kSampleClsid;
    coclass.name = "Sample";
    coclass.flags = TYPEFLAG_FCANCREATE;
    coclass.implTypes = {{0, IMPLTYPEFLAG_FDEFAULT}};

    lib.types = {dispatch, coclass};
    return lib;
}

}  // namespace ostrel::test
