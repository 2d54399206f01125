#pragma once
#include "high/High.h"
#include "Beside.h"
