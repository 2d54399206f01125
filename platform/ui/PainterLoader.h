#pragma once
// Finds the painter in the Qt module, which is opened the first time
// something has to be turned into pixels.

#include <string>

#include "platform/ui/PaintView.h"

namespace platform::ui {

// The module's painter, or null when the module cannot be opened or offers
// none; `why` then says what went wrong. Loaded once per process.
Painter* LoadPainter(std::string* why = nullptr);

}  // namespace platform::ui
