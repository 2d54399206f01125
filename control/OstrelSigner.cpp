#include "control/OstrelSigner.h"

#include <memory>

#include "common/Messages.h"
#include "control/OstrelIds.h"
#include "control/OstrelTypeLib.h"
#include "platform/com/Automation.h"
#include "platform/com/Registration.h"
#include "platform/win/LastError.h"
#include "platform/win/WinError.h"

using platform::com::DispatchEntry;
using platform::com::DispatchTable;

COstrelSigner::COstrelSigner() {
    AfxOleLockApp();
}

COstrelSigner::~COstrelSigner() {
    AfxOleUnlockApp();
}

// The order is fixed: each entry's position is its identifier, as the type
// library gives it.
const DispatchTable& OstrelSignerDispatchTable() {
    static constexpr DispatchEntry kEntries[] = {
        DISP_FUNCTION(COstrelSigner, "Sign", Sign, VT_BSTR, VTS_BSTR VTS_BSTR),
        DISP_FUNCTION(COstrelSigner, "ChooseCertificate", ChooseCertificate, VT_I4, VTS_BSTR),
    };
    static constexpr DispatchTable kTable =
        platform::com::MakeDispatchTable<COstrelSigner>(kEntries);
    return kTable;
}

HRESULT CreateOstrelSigner(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    try {
        auto signer = std::make_shared<COstrelSigner>();
        platform::com::AutomationOptions options;
        options.table = &OstrelSignerDispatchTable();
        options.object = platform::com::MakeDispatchObject(*signer);
        options.dispatchIid = IID__DOstrelSigner;
        options.clsid = CLSID_OstrelSigner;
        options.getTypeLib = &OstrelGetTypeLib;
        options.getTypeLibCache = &OstrelGetTypeLibCache;
        options.moduleState = AfxGetStaticModuleState();
        options.keepAlive = std::move(signer);
        return platform::com::CreateAutomationObject(std::move(options), riid, ppv);
    } catch (...) {
        return HRESULT(E_OUTOFMEMORY);
    }
}

void ThrowSignerError(HRESULT scode, const std::string& description) {
    COleDispatchException error(description.c_str(), 0, 0);
    error.m_scError = scode;
    throw error;
}

void ThrowLastError(const std::string& what) {
    const DWORD code = GetLastError();
    std::string text = SystemErrorText().Str();
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    const HRESULT scode = code == 0                   ? HRESULT(E_FAIL)
                          : (code & 0x80000000u) != 0 ? HRESULT(code)
                                                      : HRESULT(0x80070000u | (code & 0xFFFFu));
    ThrowSignerError(scode, text.empty() ? what + "." : what + ": " + text);
}
