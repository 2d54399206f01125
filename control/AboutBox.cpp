#include "control/OstrelCtrl.h"

// The About box dialog arrives with the control object; until then the
// method is reachable through automation and shows nothing.
void COstrelCtrl::AboutBox() {}
