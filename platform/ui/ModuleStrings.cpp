#include "platform/ui/ModuleStrings.h"

#include "platform/ui/ModuleResource.h"

namespace platform::ui {
namespace {

struct StringEntry {
    int id;
    const char* text;
};

// The framework's own strings sit at the top of the identifier range, the
// module's below them.
constexpr int kVerbPropertiesName = 0xFE41;

constexpr StringEntry kStrings[] = {
    {IDS_CONTROL_NAME, "Ostrel Control"},
    {IDS_PROPPAGE_NAME, "Ostrel Property Page"},
    {IDS_PROPPAGE_CAPTION, "General"},
    {kVerbPropertiesName, "&Properties..."},
};

}  // namespace

const char* FindString(int id) {
    for (const auto& entry : kStrings)
        if (entry.id == id) return entry.text;
    return nullptr;
}

}  // namespace platform::ui
