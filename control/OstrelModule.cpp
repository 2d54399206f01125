#include "control/OstrelModule.h"

#include "control/OstrelFactories.h"
#include "control/OstrelResource.h"

// The module's static objects, in the order they are built: the module
// object, then the control's factory, then the page's. They are destroyed in
// the reverse order. (The framework's module state is built before any of
// them by the exports' translation unit; the chooser's tables by the
// product, which the module links ahead of this file.)
COstrelModule theApp;
COstrelCtrlFactory g_ctrlFactory;
COstrelPropPageFactory g_propPageFactory;
COstrelSignerFactory g_signerFactory;

COstrelModule::COstrelModule() : COleControlModule(kOstrelModuleName) {}

BOOL COstrelModule::InitInstance() {
    BOOL bInit = COleControlModule::InitInstance();
    return bInit;
}

int COstrelModule::ExitInstance() {
    return COleControlModule::ExitInstance();
}
