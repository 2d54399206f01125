#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "platform/seams/Seams.h"
#include "platform/text/NoCase.h"
#include "platform/ui/Resources.h"
#include "platform/ui/WindowImpl.h"
#include "platform/ui/Wnd.h"
#include "platform/win/Failure.h"
#include "platform/win/LastError.h"
#include "platform/win/WinError.h"

namespace platform::ui {
namespace {

// Every live window, so that a stale or made-up handle is refused rather than
// followed.
std::mutex g_windowsMutex;
std::unordered_set<const HWND__*>& LiveWindows() {
    static auto* windows = new std::unordered_set<const HWND__*>();
    return *windows;
}

std::atomic<bool> g_richEditReady{false};

void Changed(HWND__* w) {
    if (w->parent != nullptr && w->parent->listener != nullptr)
        w->parent->listener->ControlChanged(w->index);
}

LRESULT CopyText(const std::string& text, WPARAM capacity, LPARAM buffer) {
    char* out = reinterpret_cast<char*>(buffer);
    if (out == nullptr || capacity == 0) return 0;
    const std::size_t n = std::min<std::size_t>(text.size(), capacity - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
    return static_cast<LRESULT>(n);
}

LRESULT ListBoxMessage(HWND__* w, UINT msg, WPARAM wParam, LPARAM lParam) {
    const auto count = static_cast<LRESULT>(w->rows.size());
    const auto index = static_cast<LRESULT>(static_cast<std::intptr_t>(wParam));
    switch (msg) {
        case LB_ADDSTRING:
        case LB_INSERTSTRING: {
            const char* text = reinterpret_cast<const char*>(lParam);
            if (text == nullptr) return LB_ERR;
            LRESULT at = count;
            if (msg == LB_INSERTSTRING && index >= 0) {
                if (index > count) return LB_ERR;
                at = index;
            } else if (msg == LB_ADDSTRING && (w->style & LBS_SORT) != 0) {
                at = std::lower_bound(w->rows.begin(), w->rows.end(), std::string(text),
                                      [](const std::string& a, const std::string& b) {
                                          return platform::text::CompareNoCase(a, b) < 0;
                                      }) -
                     w->rows.begin();
            }
            w->rows.insert(w->rows.begin() + at, text);
            if (w->selection >= at) ++w->selection;
            Changed(w);
            return at;
        }
        case LB_DELETESTRING:
            if (index < 0 || index >= count) return LB_ERR;
            w->rows.erase(w->rows.begin() + index);
            if (w->selection == index)
                w->selection = -1;
            else if (w->selection > index)
                --w->selection;
            Changed(w);
            return count - 1;
        case LB_RESETCONTENT:
            w->rows.clear();
            w->selection = -1;
            Changed(w);
            return 0;
        case LB_GETCOUNT:
            return count;
        case LB_SETCURSEL:
            // A selection the program sets is not the user's: no notification.
            w->selection = (index >= 0 && index < count) ? static_cast<int>(index) : -1;
            Changed(w);
            return w->selection < 0 ? LB_ERR : w->selection;
        case LB_GETCURSEL:
            return w->selection < 0 ? LB_ERR : w->selection;
        case LB_GETTEXTLEN:
            if (index < 0 || index >= count) return LB_ERR;
            return static_cast<LRESULT>(w->rows[std::size_t(index)].size());
        case LB_GETTEXT: {
            if (index < 0 || index >= count) return LB_ERR;
            // The caller's buffer holds LB_GETTEXTLEN + 1 bytes, as it must.
            const std::string& row = w->rows[std::size_t(index)];
            char* out = reinterpret_cast<char*>(lParam);
            if (out == nullptr) return LB_ERR;
            std::memcpy(out, row.c_str(), row.size() + 1);
            return static_cast<LRESULT>(row.size());
        }
        default:
            return 0;
    }
}

LRESULT DefaultDialogMessage(HWND__* w, UINT msg, WPARAM, LPARAM) {
    if (msg == WM_CLOSE) DefaultClose(w);
    return 0;
}

}  // namespace

std::unique_ptr<HWND__> CreateDialogWindows(const DialogTemplate& dialog, int templateId) {
    auto dlg = std::make_unique<HWND__>();
    dlg->id = templateId;
    dlg->className = "#32770";
    dlg->style = dialog.style;
    dlg->rect = {dialog.x, dialog.y, dialog.cx, dialog.cy};
    dlg->text = dialog.caption == nullptr ? "" : dialog.caption;
    int index = 0;
    for (const DialogItemTemplate& item : dialog.items) {
        const std::string cls = item.windowClass == nullptr ? "" : item.windowClass;
        const ControlKind kind = KindOf(item);
        using platform::text::EqualsNoCase;
        const bool known = EqualsNoCase(cls, WC_BUTTON) || EqualsNoCase(cls, WC_STATIC) ||
                           EqualsNoCase(cls, WC_EDIT) || EqualsNoCase(cls, WC_LISTBOX) ||
                           (EqualsNoCase(cls, RICHEDIT_CLASS10A) && g_richEditReady);
        if (!known) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        auto ctl = std::make_unique<HWND__>();
        ctl->parent = dlg.get();
        ctl->index = index++;
        ctl->id = item.id;
        ctl->kind = kind;
        ctl->className = cls;
        ctl->style = item.style;
        ctl->rect = {item.x, item.y, item.cx, item.cy};
        ctl->text = item.text == nullptr ? "" : item.text;
        ctl->imageId = item.imageId;
        dlg->children.push_back(std::move(ctl));
    }
    return dlg;
}

void DefaultClose(HWND dialog) {
    HWND__* w = CheckedWindow(dialog);
    if (w == nullptr) return;
    HWND__* cancel = nullptr;
    for (const auto& child : w->children)
        if (child->id == IDCANCEL) cancel = child.get();
    SendMessageA(w, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), reinterpret_cast<LPARAM>(cancel));
}

HWND__* CheckedWindow(HWND hWnd) {
    {
        std::lock_guard lock(g_windowsMutex);
        if (hWnd != nullptr && LiveWindows().count(hWnd) != 0) return hWnd;
    }
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
}

void RegisterRichEditClass() {
    g_richEditReady = true;
}

bool HoldsSecret(const HWND__* w) {
    return w->kind == ControlKind::Edit && (w->style & ES_PASSWORD) != 0;
}

void WipeText(std::string& text) {
    if (!text.empty()) ::explicit_bzero(text.data(), text.size());
    text.clear();
}

void ReplaceText(HWND__* w, std::string_view text) {
    if (!HoldsSecret(w)) {
        w->text.assign(text);
        return;
    }
    // Room for any PIN up front: the text is then written in place, never
    // moved to a larger buffer that leaves the old one behind unwiped.
    constexpr std::size_t kSecretRoom = 256;
    WipeText(w->text);
    if (w->text.capacity() < std::max(kSecretRoom, text.size())) {
        std::string fresh;
        fresh.reserve(std::max(kSecretRoom, text.size()));
        w->text.swap(fresh);
    }
    w->text.assign(text);
}

}  // namespace platform::ui

HWND__::HWND__() {
    std::lock_guard lock(platform::ui::g_windowsMutex);
    platform::ui::LiveWindows().insert(this);
}

HWND__::~HWND__() {
    if (platform::ui::HoldsSecret(this)) platform::ui::WipeText(text);
    children.clear();
    if (attached != nullptr && attached->m_hWnd == this) attached->m_hWnd = nullptr;
    if (temporary) temporary->m_hWnd = nullptr;
    std::lock_guard lock(platform::ui::g_windowsMutex);
    platform::ui::LiveWindows().erase(this);
}

using platform::ui::CheckedWindow;

LRESULT SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    std::uint32_t injected = 0;
    const bool isList = Msg >= LB_ADDSTRING && Msg <= LB_GETCOUNT;
    if (platform::seams::Injected("SendMessageA", injected)) {
        SetLastError(injected);
        return isList ? LB_ERR : 0;
    }
    HWND__* w = CheckedWindow(hWnd);
    if (w == nullptr) return isList ? LB_ERR : 0;
    switch (Msg) {
        case WM_SETTEXT:
            platform::ui::ReplaceText(w, lParam == 0 ? "" : reinterpret_cast<const char*>(lParam));
            platform::ui::Changed(w);
            return TRUE;
        case WM_GETTEXT:
            return platform::ui::CopyText(w->text, wParam, lParam);
        case WM_GETTEXTLENGTH:
            return static_cast<LRESULT>(w->text.size());
        default:
            break;
    }
    if (w->parent == nullptr) {
        if (w->attached != nullptr) return w->attached->WindowProc(Msg, wParam, lParam);
        return platform::ui::DefaultDialogMessage(w, Msg, wParam, lParam);
    }
    if (w->kind == platform::ui::ControlKind::ListBox)
        return platform::ui::ListBoxMessage(w, Msg, wParam, lParam);
    return 0;
}

BOOL IsWindow(HWND hWnd) {
    std::lock_guard lock(platform::ui::g_windowsMutex);
    return hWnd != nullptr && platform::ui::LiveWindows().count(hWnd) != 0 ? TRUE : FALSE;
}

// FALSE says the window was hidden before, not that the call failed.
BOOL ShowWindow(HWND hWnd, int nCmdShow) {
    return platform::RunGuardedEntry(
        "ShowWindow",
        [&](const platform::Entry& entry) -> BOOL {
            HWND__* w = CheckedWindow(hWnd);
            if (w == nullptr) {
                entry.Fail(GetLastError());
                return FALSE;
            }
            const bool wasVisible = (w->style & WS_VISIBLE) != 0;
            if (nCmdShow == SW_HIDE)
                w->style &= ~WS_VISIBLE;
            else
                w->style |= WS_VISIBLE;
            if (wasVisible != ((w->style & WS_VISIBLE) != 0)) platform::ui::Changed(w);
            return wasVisible ? TRUE : FALSE;
        },
        [] { return FALSE; }, DWORD(ERROR_INVALID_WINDOW_HANDLE), DWORD(ERROR_NOT_ENOUGH_MEMORY));
}

BOOL IsWindowVisible(HWND hWnd) {
    HWND__* w = CheckedWindow(hWnd);
    if (w == nullptr) return FALSE;
    for (HWND__* p = w; p != nullptr; p = p->parent)
        if ((p->style & WS_VISIBLE) == 0 && p->parent != nullptr) return FALSE;
    return TRUE;
}

HWND GetDlgItem(HWND hDlg, int nIDDlgItem) {
    return platform::RunGuardedCall("GetDlgItem", [&]() -> HWND {
        HWND__* w = CheckedWindow(hDlg);
        if (w == nullptr) return nullptr;
        for (const auto& child : w->children)
            if (child->id == nIDDlgItem) return child.get();
        SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
        return nullptr;
    });
}

BOOL SetWindowTextA(HWND hWnd, LPCSTR lpString) {
    return SendMessageA(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString)) != 0 ? TRUE
                                                                                      : FALSE;
}

int GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount) {
    if (nMaxCount <= 0) return 0;
    return static_cast<int>(
        SendMessageA(hWnd, WM_GETTEXT, WPARAM(nMaxCount), reinterpret_cast<LPARAM>(lpString)));
}

int GetWindowTextLengthA(HWND hWnd) {
    return static_cast<int>(SendMessageA(hWnd, WM_GETTEXTLENGTH, 0, 0));
}

BOOL EndDialog(HWND hDlg, INT_PTR nResult) {
    return platform::RunGuardedCall("EndDialog", [&]() -> BOOL {
        HWND__* w = CheckedWindow(hDlg);
        if (w == nullptr) return FALSE;
        if (w->parent != nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (!w->ended) {
            w->ended = true;
            w->result = nResult;
            if (w->listener != nullptr) w->listener->DialogEnded(nResult);
        }
        return TRUE;
    });
}
