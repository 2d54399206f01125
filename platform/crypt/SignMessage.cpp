#include "platform/crypt/WinCrypt.h"
