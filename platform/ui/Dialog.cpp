#include "platform/ui/Dialog.h"

#include <cstdlib>
#include <nlohmann/json.hpp>

#include "platform/seams/Seams.h"
#include "platform/ui/Backend.h"
#include "platform/ui/Resources.h"
#include "platform/ui/WindowImpl.h"
#include "platform/win/LastError.h"
#include "platform/win/WinError.h"

namespace platform::ui {
namespace {

bool Logging() {
    const char* path = std::getenv("OSTREL_UI_LOG");
    return path != nullptr && *path != '\0';
}

std::string Dump(const nlohmann::ordered_json& line) {
    return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// One modal dialog between its creation and its end: what the backend sees of
// it and what the user's actions turn into (the messages a dialog gets).
class ModalSession final : public DialogSession, public WindowListener {
public:
    ModalSession(HWND__* dialog, const DialogTemplate& tmpl, int templateId)
        : m_dialog(dialog), m_template(tmpl), m_templateId(templateId) {}

    void SetInitialFocus(bool firstTabStop) {
        m_focus = -1;
        if (!firstTabStop) return;
        for (const auto& child : m_dialog->children) {
            if ((child->style & WS_TABSTOP) != 0 && (child->style & WS_VISIBLE) != 0) {
                m_focus = child->index;
                return;
            }
        }
    }

    // DialogSession
    int TemplateId() const override { return m_templateId; }
    std::string Caption() const override { return m_dialog->text; }
    DuRect Frame() const override { return m_dialog->rect; }
    std::string FontName() const override {
        return m_template.typeface == nullptr ? "" : m_template.typeface;
    }
    int PointSize() const override { return m_template.pointSize; }
    int ControlCount() const override { return static_cast<int>(m_dialog->children.size()); }
    int FocusIndex() const override { return m_focus; }
    bool Ended() const override { return m_dialog->ended; }
    std::intptr_t Result() const override { return m_dialog->result; }

    ControlView Control(int index) const override {
        ControlView view;
        const HWND__* c = Child(index);
        if (c == nullptr) return view;
        view.id = c->id;
        view.kind = c->kind;
        view.style = c->style;
        view.rect = c->rect;
        view.text = c->text;
        view.visible = (c->style & WS_VISIBLE) != 0;
        view.enabled = (c->style & WS_DISABLED) == 0;
        view.tabStop = (c->style & WS_TABSTOP) != 0;
        view.border = (c->style & WS_BORDER) != 0;
        view.vscroll = (c->style & WS_VSCROLL) != 0;
        if (c->kind == ControlKind::Edit || c->kind == ControlKind::RichEdit)
            view.readOnly = (c->style & ES_READONLY) != 0;
        view.password = HoldsSecret(c);
        if (c->kind == ControlKind::Label) {
            const DWORD type = c->style & SS_TYPEMASK;
            view.align = type == SS_RIGHT    ? TextAlign::Right
                         : type == SS_CENTER ? TextAlign::Center
                                             : TextAlign::Left;
        }
        view.rows = c->rows;
        view.selection = c->selection;
        if (c->kind == ControlKind::Picture)
            if (const auto* image = FindBitmap(c->imageId)) view.bitmap = *image;
        return view;
    }

    void UserSelect(int index, int row) noexcept override {
        Act("select " + std::to_string(row), [&] {
            HWND__* c = Child(index);
            if (c == nullptr || c->kind != ControlKind::ListBox || !Usable(c)) return;
            if (row < 0 || row >= static_cast<int>(c->rows.size())) return;
            c->selection = row;
            ControlChanged(c->index);
            // Only a change the user makes is announced.
            if ((c->style & LBS_NOTIFY) != 0)
                SendMessageA(m_dialog, WM_COMMAND,
                             MAKEWPARAM(static_cast<WORD>(c->id), LBN_SELCHANGE),
                             reinterpret_cast<LPARAM>(c));
        });
    }

    void UserClick(int index) noexcept override {
        HWND__* c = Child(index);
        const std::string what = c == nullptr        ? "click"
                                 : c->id == IDOK     ? "ok"
                                 : c->id == IDCANCEL ? "cancel"
                                                     : "click " + std::to_string(c->id);
        Act(what, [&] {
            if (c == nullptr || !Usable(c)) return;
            if (c->kind != ControlKind::PushButton && c->kind != ControlKind::DefPushButton) return;
            SendMessageA(m_dialog, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(c->id), BN_CLICKED),
                         reinterpret_cast<LPARAM>(c));
        });
    }

    void UserPress(UserKey key) noexcept override {
        switch (key) {
            case UserKey::Enter:
                Act("enter", [&] {
                    // Enter presses the default button; a dialog without one
                    // still hears IDOK.
                    HWND__* def = nullptr;
                    for (const auto& child : m_dialog->children)
                        if (child->kind == ControlKind::DefPushButton && Usable(child.get()))
                            def = child.get();
                    const WORD id = def == nullptr ? WORD(IDOK) : static_cast<WORD>(def->id);
                    SendMessageA(m_dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                                 reinterpret_cast<LPARAM>(def));
                });
                break;
            case UserKey::Escape:
                Act("escape", [&] {
                    HWND__* cancel = nullptr;
                    for (const auto& child : m_dialog->children)
                        if (child->id == IDCANCEL) cancel = child.get();
                    SendMessageA(m_dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                                 reinterpret_cast<LPARAM>(cancel));
                });
                break;
            case UserKey::CloseBox:
                Act("close", [&] { SendMessageA(m_dialog, WM_CLOSE, 0, 0); });
                break;
        }
    }

    void UserType(int index, const std::string& text) noexcept override {
        // The record names the action, never what was typed: a PIN typed
        // here must not end up in a log.
        Act("type", [&] {
            HWND__* c = Child(index);
            if (c == nullptr || c->kind != ControlKind::Edit || !Usable(c)) return;
            if ((c->style & ES_READONLY) != 0) return;
            ReplaceText(c, text);
            ControlChanged(c->index);
        });
    }

    void SetObserver(DialogObserver* observer) noexcept override { m_observer = observer; }

    // WindowListener
    void ControlChanged(int index) override {
        if (m_observer != nullptr) m_observer->ControlChanged(index);
    }
    void DialogEnded(INT_PTR result) override {
        m_endedBy = m_action.empty() ? "init" : m_action;
        if (m_observer != nullptr) m_observer->DialogEnded(result);
    }

    void LogState(const std::string& event) const {
        if (!Logging()) return;
        nlohmann::ordered_json controls = nlohmann::ordered_json::array();
        for (const auto& c : m_dialog->children) {
            if (c->id == -1 || c->id == 0xFFFF) continue;
            if (c->kind == ControlKind::PushButton || c->kind == ControlKind::DefPushButton)
                continue;
            nlohmann::ordered_json item;
            item["id"] = c->id;
            if (c->kind == ControlKind::ListBox) {
                item["rows"] = c->rows;
                item["selection"] = c->selection;
            } else if (HoldsSecret(c.get())) {
                item["password"] = true;
            } else {
                item["text"] = c->text;
            }
            item["visible"] = (c->style & WS_VISIBLE) != 0;
            controls.push_back(std::move(item));
        }
        nlohmann::ordered_json line;
        line["dialog"] = m_dialog->text;
        line["event"] = event;
        line["controls"] = std::move(controls);
        AppendUiLog(Dump(line));
    }

    void LogEnd(INT_PTR result) const {
        if (!Logging()) return;
        nlohmann::ordered_json line;
        line["dialog"] = m_dialog->text;
        line["event"] = "end";
        line["how"] = result == -1 && m_endedBy.empty() ? "failed" : m_endedBy;
        line["result"] = result;
        // The member the list is bound to, as the dialog's owner will read it.
        nlohmann::ordered_json index = nullptr;
        for (const auto& c : m_dialog->children)
            if (c->boundIndex != nullptr) {
                index = *c->boundIndex;
                break;
            }
        line["index"] = index;
        AppendUiLog(Dump(line));
    }

private:
    HWND__* Child(int index) const {
        if (index < 0 || index >= static_cast<int>(m_dialog->children.size())) return nullptr;
        return m_dialog->children[std::size_t(index)].get();
    }

    static bool Usable(const HWND__* c) {
        return (c->style & WS_VISIBLE) != 0 && (c->style & WS_DISABLED) == 0;
    }

    // Runs one user action: its handlers, then a record of what the dialog
    // shows after it. Nothing thrown by a handler reaches the backend.
    template <typename F>
    void Act(const std::string& what, F&& action) noexcept {
        if (m_dialog->ended) return;
        try {
            m_action = what;
            action();
            if (!m_dialog->ended) LogState(what);
        } catch (...) {
            // A handler that fails ends nothing: the dialog stays as it was.
        }
        m_action.clear();
    }

    HWND__* m_dialog;
    const DialogTemplate& m_template;
    int m_templateId;
    int m_focus = -1;
    DialogObserver* m_observer = nullptr;
    std::string m_action;
    std::string m_endedBy;
};

}  // namespace
}  // namespace platform::ui

BEGIN_MESSAGE_MAP(CDialog, CWnd)
ON_COMMAND(IDOK, OnOK)
ON_COMMAND(IDCANCEL, OnCancel)
END_MESSAGE_MAP()

CDialog::CDialog() = default;

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd)
    : m_nIDHelp(nIDTemplate), m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd) {}

CDialog::~CDialog() {
    if (platform::seams::Tracing())
        platform::seams::Trace("CDialog::~CDialog " + std::to_string(m_nIDTemplate));
}

BOOL CDialog::InitModalIndirect(const platform::ui::DialogTemplate* lpDialogTemplate,
                                CWnd* pParentWnd) {
    if (lpDialogTemplate == nullptr) return FALSE;
    m_lpDialogTemplate = lpDialogTemplate;
    m_nIDTemplate = 0;
    m_pParentWnd = pParentWnd;
    return TRUE;
}

INT_PTR CDialog::DoModal() {
    using namespace platform::ui;
    if (platform::seams::Tracing())
        platform::seams::Trace("CDialog::DoModal " + std::to_string(m_nIDTemplate));
    std::uint32_t injected = 0;
    if (platform::seams::Injected("CDialog::DoModal", injected)) {
        SetLastError(injected);
        return -1;
    }
    const DialogTemplate* tmpl = m_lpDialogTemplate != nullptr
                                     ? m_lpDialogTemplate
                                     : FindDialogTemplate(static_cast<int>(m_nIDTemplate));
    if (tmpl == nullptr) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return -1;
    }
    if (m_hWnd != nullptr) {
        // Already showing: one object, one window.
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    std::unique_ptr<HWND__> windows = CreateDialogWindows(*tmpl, static_cast<int>(m_nIDTemplate));
    if (!windows) return -1;

    ModalSession session(windows.get(), *tmpl, static_cast<int>(m_nIDTemplate));
    windows->listener = &session;
    windows->attached = this;
    m_hWnd = windows.get();

    INT_PTR result = -1;
    try {
        const LRESULT focusFirst = ::SendMessageA(m_hWnd, WM_INITDIALOG, 0, 0);
        session.SetInitialFocus(focusFirst != 0);
        if (!windows->ended) {
            session.LogState("open");
            CurrentBackend().RunDialog(session);
        }
    } catch (...) {
        // Whatever failed while the dialog ran, its window goes and the
        // caller hears that no choice was made.
    }
    if (windows->ended) result = windows->result;
    session.LogEnd(result);
    windows->listener = nullptr;
    m_hWnd = nullptr;
    windows.reset();
    return result;
}

void CDialog::EndDialog(int nResult) {
    ::EndDialog(m_hWnd, nResult);
}

BOOL CDialog::OnInitDialog() {
    if (!UpdateData(FALSE)) {
        EndDialog(-1);
        return FALSE;
    }
    return TRUE;
}

void CDialog::OnOK() {
    if (!UpdateData(TRUE)) return;
    EndDialog(IDOK);
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

BOOL AfxInitRichEdit() {
    platform::ui::RegisterRichEditClass();
    return TRUE;
}
