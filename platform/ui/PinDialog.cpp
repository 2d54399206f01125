#include "platform/ui/PinDialog.h"

#include <cstring>

#include "platform/ui/Backend.h"
#include "platform/ui/WindowImpl.h"

namespace platform::ui {
namespace {

constexpr DWORD kLabel = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT;

constexpr DialogItemTemplate kPinItems[] = {
    {kLabel, 0, 7, 7, 236, 8, IDC_PIN_TOKEN, WC_STATIC, "", 0},
    {kLabel, 0, 7, 18, 236, 8, IDC_PIN_SUBJECT, WC_STATIC, "", 0},
    {kLabel, 0, 7, 32, 236, 8, IDC_PIN_STATUS, WC_STATIC, "", 0},
    {WS_CHILD | WS_VISIBLE | SS_RIGHT, 0, 7, 49, 30, 8, -1, WC_STATIC, "PIN", 0},
    {WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_PASSWORD | ES_AUTOHSCROLL, 0, 42, 47, 120,
     12, IDC_PIN_EDIT, WC_EDIT, "", 0},
    {kLabel, 0, 42, 62, 200, 8, IDC_PIN_LENGTH, WC_STATIC, "", 0},
    {WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 137, 78, 50, 14, IDOK, WC_BUTTON,
     "OK", 0},
    {WS_CHILD | WS_VISIBLE | WS_TABSTOP, 0, 193, 78, 50, 14, IDCANCEL, WC_BUTTON, "Cancel", 0},
};

constexpr DialogTemplate kPinDialog = {
    WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT,
    0,
    0,
    0,
    250,
    99,
    "Token PIN",
    8,
    "MS Sans Serif",
    kPinItems,
};

std::string TokenName(const seams::PinRequest& request) {
    std::string name = "\"" + request.tokenLabel + "\"";
    if (!request.tokenSerial.empty()) name += " (serial " + request.tokenSerial + ")";
    return name;
}

// The prompt the user interface gives the crypt layer: the dialog, and the
// notice for a reader with its own keypad.
class DialogPrompt final : public seams::TokenPrompt {
public:
    bool AskPin(const seams::PinRequest& request, seams::PinBuffer& pin) noexcept override {
        if (pin.data == nullptr || pin.capacity == 0) return false;
        try {
            CPinDialog dialog(request, pin);
            if (dialog.DoModal() == IDOK) return true;
        } catch (...) {
        }
        // Whatever happened, nothing entered stays behind.
        ::explicit_bzero(pin.data, pin.capacity);
        pin.length = 0;
        return false;
    }

    void BeginPinPadNotice(const seams::PinRequest& request) noexcept override {
        try {
            const std::string text = "Enter the PIN of the token " + TokenName(request) +
                                     " on the reader, for the key of " + request.subject + ".";
            AppendUiLog(R"({"notice":"pin pad","token":)" + Quoted(request.tokenLabel) + "}");
            CurrentBackend().ShowNotice("Token PIN", text);
        } catch (...) {
        }
    }

    void EndPinPadNotice() noexcept override {
        try {
            CurrentBackend().EndNotice();
        } catch (...) {
        }
    }

private:
    static std::string Quoted(const std::string& text) {
        std::string out = "\"";
        for (char c : text) {
            if (c == '"' || c == '\\') out += '\\';
            if (static_cast<unsigned char>(c) < 0x20) continue;
            out += c;
        }
        return out + "\"";
    }
};

}  // namespace

CPinDialog::CPinDialog(const seams::PinRequest& request, seams::PinBuffer& pin)
    : m_request(request), m_pin(pin) {
    InitModalIndirect(&kPinDialog);
}

std::string CPinDialog::TokenText(const seams::PinRequest& request) {
    return "Enter the PIN of the token " + TokenName(request) +
           (request.keyOnly ? " for this signature." : ".");
}

std::string CPinDialog::StatusText(const seams::PinRequest& request) {
    std::string text;
    if (request.wrongPin) text = "Wrong PIN.";
    if (request.lastTry)
        text += std::string(text.empty() ? "" : " ") + "Last try: a wrong PIN locks the token.";
    else if (request.fewTriesLeft)
        text += std::string(text.empty() ? "" : " ") + "Few tries left.";
    return text;
}

std::string CPinDialog::LengthText(const seams::PinRequest& request) {
    if (request.maxLength > 0 && request.minLength > 0)
        return std::to_string(request.minLength) + " to " + std::to_string(request.maxLength) +
               " characters";
    if (request.minLength > 0)
        return "at least " + std::to_string(request.minLength) + " characters";
    if (request.maxLength > 0)
        return "at most " + std::to_string(request.maxLength) + " characters";
    return {};
}

void CPinDialog::SetText(int id, const std::string& text) {
    if (CWnd* item = GetDlgItem(id)) SetWindowTextA(item->m_hWnd, text.c_str());
}

void CPinDialog::WipeEdit() {
    if (CWnd* item = GetDlgItem(IDC_PIN_EDIT))
        if (HWND__* edit = CheckedWindow(item->m_hWnd)) WipeText(edit->text);
}

BOOL CPinDialog::OnInitDialog() {
    CDialog::OnInitDialog();
    SetText(IDC_PIN_TOKEN, TokenText(m_request));
    SetText(IDC_PIN_SUBJECT, "Key of: " + m_request.subject);
    SetText(IDC_PIN_STATUS, StatusText(m_request));
    SetText(IDC_PIN_LENGTH, LengthText(m_request));
    return TRUE;  // the PIN field, the first stop, has the focus
}

void CPinDialog::OnOK() {
    CWnd* item = GetDlgItem(IDC_PIN_EDIT);
    HWND__* edit = item == nullptr ? nullptr : CheckedWindow(item->m_hWnd);
    if (edit == nullptr) return;
    const std::size_t length = edit->text.size();
    const std::size_t room = m_pin.capacity - 1;
    const std::size_t most = m_request.maxLength > 0 ? std::min(m_request.maxLength, room) : room;
    if (length < m_request.minLength || length > most) {
        // The token would only count a PIN of the wrong length as a wrong
        // try; the user gets to correct it first.
        SetText(IDC_PIN_STATUS, "The PIN must have " + LengthText(m_request) + ".");
        return;
    }
    std::memcpy(m_pin.data, edit->text.data(), length);
    m_pin.data[length] = '\0';
    m_pin.length = length;
    WipeEdit();
    EndDialog(IDOK);
}

void CPinDialog::OnCancel() {
    WipeEdit();
    EndDialog(IDCANCEL);
}

bool RegisterPinDialog() {
    static DialogPrompt prompt;
    seams::RegisterTokenPrompt(&prompt);
    return true;
}

}  // namespace platform::ui
