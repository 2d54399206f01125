#pragma once
// The module's string table: texts found by identifier, as a resource
// compiler would have linked them into the module.

namespace platform::ui {

// The string with this identifier (UTF-8), or null when there is none.
const char* FindString(int id);

}  // namespace platform::ui
