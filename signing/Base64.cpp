#include "control/OstrelCtrl.h"
