#pragma once
// The description of the type library OSTRELLib, from which the build makes
// the library's image.

#include "platform/com/TypeLibFormat.h"

platform::com::typelib::Library OstrelTypeLibDescription();
