#pragma once
#include "Beside.h"
#include "high/High.h"
