#include "control/OstrelTypeLibDesc.h"

#include "control/OstrelIds.h"

namespace {

using namespace platform::com::typelib;

const ElemType kBstr{VT_BSTR};
const ElemType kBool{VT_BOOL};
const ElemType kLong{VT_I4};
const ElemType kVoid{VT_VOID};
const ElemType kBstrPtr{VT_PTR, VT_BSTR};

Function Method(MEMBERID memid, std::string name, ElemType result, std::vector<Param> params) {
    Function f;
    f.memid = memid;
    f.name = std::move(name);
    f.result = std::move(result);
    f.params = std::move(params);
    return f;
}

// Derives from IDispatch of the standard library, the only external type.
constexpr HREFTYPE kIDispatch = kExternalRef | 0;

}  // namespace

Library OstrelTypeLibDescription() {
    Library lib;
    lib.name = "OSTRELLib";
    lib.libid = LIBID_OSTRELLib;
    lib.lcid = 0x0409;
    lib.syskind = SYS_WIN32;
    lib.wMajorVerNum = g_wVerMajor;
    lib.wMinorVerNum = g_wVerMinor;
    lib.flags = LIBFLAG_FCONTROL;
    lib.doc = "Ostrel ActiveX Control module";
    lib.helpFile = "Ostrel.hlp";
    lib.imports = {{"stdole2.tlb", LIBID_STDOLE2, 2, 0, 0}};
    lib.externals = {{0, "IDispatch", IID_IDispatch, TKIND_INTERFACE}};

    Type dispatch;
    dispatch.kind = TKIND_DISPATCH;
    dispatch.guid = IID__DOstrel;
    dispatch.name = "_DOstrel";
    dispatch.doc = "Dispatch interface for Ostrel Control";
    dispatch.flags = TYPEFLAG_FHIDDEN | TYPEFLAG_FDISPATCHABLE;
    dispatch.implTypes = {{kIDispatch, 0}};
    dispatch.functions = {
        Method(1, "SignMessage", kBstr, {{"Message", kBstr}}),
        Method(2, "VerifyMessage", kBool, {{"SignedMessage", kBstr}}),
        Method(3, "GetSubjectName", kBstr, {{"SignedMessage", kBstr}}),
        Method(4, "GetSerialNumber", kBstr, {{"SignedMessage", kBstr}}),
        Method(5, "SignMessageNoPrompt", kBstr, {{"Message", kBstr}, {"CertIndex", kLong}}),
        Method(6, "ChooseCertificate", kLong, {}),
        Method(DISPID_ABOUTBOX, "AboutBox", kVoid, {}),
    };

    Type events;
    events.kind = TKIND_DISPATCH;
    events.guid = IID__DOstrelEvents;
    events.name = "_DOstrelEvents";
    events.doc = "Event interface for Ostrel Control";
    events.flags = TYPEFLAG_FDISPATCHABLE;
    events.implTypes = {{kIDispatch, 0}};
    events.functions = {
        Method(1, "SignMessage", kVoid, {{"Message", kBstr}, {"Signature", kBstrPtr}}),
    };

    Type coclass;
    coclass.kind = TKIND_COCLASS;
    coclass.guid = CLSID_Ostrel;
    coclass.name = "Ostrel";
    coclass.doc = "Ostrel Control";
    coclass.flags = TYPEFLAG_FCANCREATE | TYPEFLAG_FCONTROL;
    coclass.implTypes = {
        {0, IMPLTYPEFLAG_FDEFAULT},
        {1, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE},
    };

    // The signer, after the control's types so that theirs keep their
    // places: its dispatch interface and its class, an automation object.
    Type signerDispatch;
    signerDispatch.kind = TKIND_DISPATCH;
    signerDispatch.guid = IID__DOstrelSigner;
    signerDispatch.name = "_DOstrelSigner";
    signerDispatch.doc = "Dispatch interface for Ostrel Signer";
    signerDispatch.flags = TYPEFLAG_FHIDDEN | TYPEFLAG_FDISPATCHABLE;
    signerDispatch.implTypes = {{kIDispatch, 0}};
    signerDispatch.functions = {
        Method(1, "Sign", kBstr, {{"Text", kBstr}, {"Options", kBstr}}),
        Method(2, "ChooseCertificate", kLong, {{"Options", kBstr}}),
    };

    Type signer;
    signer.kind = TKIND_COCLASS;
    signer.guid = CLSID_OstrelSigner;
    signer.name = "OstrelSigner";
    signer.doc = "Ostrel Signer";
    signer.flags = TYPEFLAG_FCANCREATE;
    signer.implTypes = {{3, IMPLTYPEFLAG_FDEFAULT}};

    lib.types = {std::move(dispatch), std::move(events), std::move(coclass),
                 std::move(signerDispatch), std::move(signer)};
    return lib;
}
