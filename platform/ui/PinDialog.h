#pragma once
// The dialog that asks for a token's PIN: the crypt layer asks through the
// prompt this registers (platform/seams/TokenPrompt.h), whichever backend
// shows it.

#include "platform/seams/TokenPrompt.h"
#include "platform/ui/Dialog.h"

namespace platform::ui {

// Control identifiers of the PIN dialog.
inline constexpr int IDC_PIN_TOKEN = 0x5001;
inline constexpr int IDC_PIN_SUBJECT = 0x5002;
inline constexpr int IDC_PIN_STATUS = 0x5003;
inline constexpr int IDC_PIN_EDIT = 0x5004;
inline constexpr int IDC_PIN_LENGTH = 0x5005;

class CPinDialog : public CDialog {
public:
    // The PIN goes into `pin` when the user ends the dialog with OK.
    CPinDialog(const seams::PinRequest& request, seams::PinBuffer& pin);

    // The texts the dialog shows for a request, in its controls' order:
    // token, subject, status, length.
    static std::string TokenText(const seams::PinRequest& request);
    static std::string StatusText(const seams::PinRequest& request);
    static std::string LengthText(const seams::PinRequest& request);

protected:
    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;

private:
    void SetText(int id, const std::string& text);
    void WipeEdit();

    const seams::PinRequest& m_request;
    seams::PinBuffer& m_pin;
};

// Registers the PIN dialog as the process's way to ask for a PIN; true.
bool RegisterPinDialog();

}  // namespace platform::ui
