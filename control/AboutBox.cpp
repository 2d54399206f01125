#include "control/OstrelCtrl.h"
#include "platform/ui/Dialog.h"
#include "platform/ui/ModuleResource.h"

void COstrelCtrl::AboutBox() {
    CDialog dlgAbout(IDD_ABOUTBOX);
    dlgAbout.DoModal();
}
