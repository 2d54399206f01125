#include "platform/ui/MessageBox.h"

#include <nlohmann/json.hpp>

#include "platform/com/ControlModule.h"
#include "platform/seams/Seams.h"
#include "platform/ui/Backend.h"
#include "platform/win/LastError.h"

namespace {

// A box carries the name of the module that shows it; one whose module has
// no name says only what it is.
std::string Caption() {
    const char* name = AfxGetAppName();
    return name != nullptr && *name != '\0' ? name : "Message";
}

}  // namespace

int AfxMessageBox(LPCSTR lpszText, UINT nType, UINT nIDHelp) {
    (void)nIDHelp;
    const DWORD saved = GetLastError();
    int result = IDOK;
    try {
        const std::string text = lpszText == nullptr ? std::string() : std::string(lpszText);
        platform::seams::Trace("AfxMessageBox " + std::to_string(nType) + " " + text);
        nlohmann::json line = {{"box", text}, {"style", nType}};
        platform::ui::AppendUiLog(
            line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        const int shown = platform::ui::CurrentBackend().ShowMessageBox(Caption(), text, nType);
        if (shown != platform::ui::kBoxNotShown) result = shown;
    } catch (...) {
        // A box that cannot be shown counts as dismissed.
    }
    SetLastError(saved);
    return result;
}
