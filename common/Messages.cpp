#include "common/Messages.h"

#include "platform/win/ErrorText.h"
#include "platform/win/LastError.h"

CString SystemErrorText() {
    // The code is read before anything else can change it.
    const DWORD code = GetLastError();
    char* buffer = nullptr;
    FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&buffer),
        0, nullptr);
    // Without a description the pointer stays unset: the caller gets the empty
    // text, which every report can append.
    CString text(buffer);
    LocalFree(buffer);
    return text;
}

void ShowMessage(const OstrelMessage& message) {
    if (!message.withSystemText) {
        AfxMessageBox(message.text, message.style, 0);
        return;
    }
    CString report(message.text);
    report += SystemErrorText();
    AfxMessageBox(report, message.style, 0);
}
