#include "platform/ui/DialogItems.h"

#include "platform/ui/WindowImpl.h"
#include "platform/win/LastError.h"
#include "platform/win/WinError.h"

HWND GetDlgItemByIndex(HWND hDlg, int index) {
    HWND__* dialog = platform::ui::CheckedWindow(hDlg);
    if (dialog == nullptr) return nullptr;
    if (index < 0 || index >= static_cast<int>(dialog->children.size())) {
        SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
        return nullptr;
    }
    return dialog->children[std::size_t(index)].get();
}
