#pragma once
// The signer: the module's second automation object (OSTREL.Signer.1, the
// dispatch interface _DOstrelSigner). Unlike the control it signs with the
// digests, paddings and formats its options name and reports what goes wrong
// as an automation exception rather than in a message box. Its methods are
// defined in the folders that do the work: Sign in signing/Signer.cpp,
// ChooseCertificate in chooser/ChooseFiltered.cpp.

#include <string>

#include "platform/com/DispatchTable.h"
#include "platform/win/WinTypes.h"

class COstrelSigner {
public:
    // Each signer keeps the module loaded while it lives.
    COstrelSigner();
    ~COstrelSigner();
    COstrelSigner(const COstrelSigner&) = delete;
    COstrelSigner& operator=(const COstrelSigner&) = delete;

    // Automation methods (DISPID 1 and 2). Options is a JSON text; the empty
    // text means every option's default.
    BSTR Sign(LPCTSTR Text, LPCTSTR Options);
    long ChooseCertificate(LPCTSTR Options);
};

// The signer's dispatch table: Sign, then ChooseCertificate.
const platform::com::DispatchTable& OstrelSignerDispatchTable();

// A new signer handed out as `riid` (IDispatch, _DOstrelSigner,
// IProvideClassInfo) with one reference.
HRESULT CreateOstrelSigner(REFIID riid, void** ppv);

// Throws the automation exception the signer's methods fail with: `scode`
// (E_INVALIDARG for options it cannot use) and the description.
[[noreturn]] void ThrowSignerError(HRESULT scode, const std::string& description);
// The same for a failure of a platform call: the thread's last error as the
// scode (an HRESULT as it is, a system error code as its HRESULT), and `what`
// followed by the error's text.
[[noreturn]] void ThrowLastError(const std::string& what);
