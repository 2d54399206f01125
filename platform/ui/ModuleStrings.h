#pragma once
// The current module's string table: texts found by identifier among the
// module's string resources, else among the framework's own strings (the
// names of its verbs), which every module shows the same.

#include <optional>
#include <span>
#include <string_view>

#include "platform/win/WinTypes.h"

namespace platform::ui {

// The string with this identifier (UTF-8), or null when there is none. The
// text stays good for the life of the module.
const char* FindString(int id);

// The text of a string resource (UTF-8 with its terminator); nothing when the
// terminator is not within its bytes.
std::optional<std::string_view> StringResourceText(std::span<const BYTE> resource);

}  // namespace platform::ui
