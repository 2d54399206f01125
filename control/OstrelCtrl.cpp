#include "control/OstrelCtrl.h"

COstrelCtrl::COstrelCtrl() = default;
COstrelCtrl::~COstrelCtrl() = default;
