#include "control/OstrelTypeLib.h"

#include "control/OstrelIds.h"

UINT OstrelGetTypeInfoCount() {
    return 1;
}

HRESULT OstrelGetTypeLib(LCID lcid, LPTYPELIB* ppTypeLib) {
    return LoadRegTypeLib(LIBID_OSTRELLib, g_wVerMajor, g_wVerMinor, lcid, ppTypeLib);
}

CTypeLibCache* OstrelGetTypeLibCache() {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return AfxGetTypeLibCache(&LIBID_OSTRELLib);
}
