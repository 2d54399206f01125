#include "control/OstrelCtrl.h"
#include "control/OstrelResource.h"
#include "platform/ui/Dialog.h"

void COstrelCtrl::AboutBox() {
    CDialog dlgAbout(IDD_ABOUTBOX);
    dlgAbout.DoModal();
}
