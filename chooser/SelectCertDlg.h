#pragma once
// The certificate chooser: a modal dialog that lists the certificates of an
// open store by the common name of their subject, in enumeration order, and
// hands back the row the user chose. The list is not sorted, so a row is the
// certificate's position in the store; an entry of the store that cannot be
// used has a row too, naming it and why, and choosing it finds no certificate.
//
// Callers: construct; set m_hCertStore (the dialog never opens, duplicates or
// closes it); set m_strMessage and, where wanted, m_bHideMessage; DoModal().
// A certificate was chosen only when DoModal() returns IDOK and m_nCertIndex
// is 0 or more.
//
// With m_filter set the list holds only the certificates it accepts (and no
// unusable entries), so a row is no longer a position: ChosenPosition() gives
// the store position of the row chosen.

#include <functional>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "control/OstrelResource.h"
#include "platform/crypt/WinCrypt.h"
#include "platform/text/CString.h"
#include "platform/ui/Dialog.h"
#include "platform/ui/ListBox.h"

class CSelectCertDlg : public CDialog {
public:
    explicit CSelectCertDlg(CWnd* pParent = nullptr);
    ~CSelectCertDlg() override;

    enum { IDD = IDD_SELECT_CERT };

    BOOL m_bHideMessage;                // nonzero: the preview and its label are hidden
    HCERTSTORE m_hCertStore = nullptr;  // lent by the caller for the dialog's life
    CListBox m_certList;
    int m_nCertIndex;  // the chosen row, -1 for none
    CString m_strEmail;
    CString m_strIssuer;
    CString m_strMessage;  // the preview, shown only
    // Which certificates are listed; empty: every entry of the store.
    std::function<bool(PCCERT_CONTEXT)> m_filter;

    // The store position of the chosen row; -1 when none was chosen.
    long ChosenPosition() const;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnOK() override;

    void FillCertificateList();
    std::vector<long> m_rowPositions;  // the store position of each row
    void OnSelchangeCertList();

    DECLARE_MESSAGE_MAP()
};

// The text a listing keeps per row for the selection handler: the e-mail
// address or the issuer's common name. Slots 0 to 99 are the module-wide
// slots every listing overwrites and nothing clears (an empty listing leaves
// slot 0 as the previous one wrote it); rows past the 100th get slots of their
// own, so every row of a long store shows its own texts. A listing belongs to
// the dialog that made it: while two choosers are open at once, each reads the
// rows of its own listing, and no read ever sees half a write.
class CertTextTable {
public:
    static constexpr int kSlots = 100;

    // Starts a listing by `lister`: from now on its writes go to the
    // module-wide slots. An earlier lister still open keeps a copy of its rows.
    void BeginListing(const void* lister);
    void Write(const void* lister, int slot, const CString& text);
    // Slot `slot` of the listing `reader` made, or of the module-wide slots
    // when it made none; the empty text for a slot that does not exist.
    CString Read(const void* reader, int slot) const;
    // The lister is gone: its copy is dropped, the module-wide slots stay.
    void EndListing(const void* lister);

    // The module-wide view, for whoever wants to look at what the last
    // listing left.
    CString Slot(int slot) const;
    int SlotCount() const;

private:
    CString& SlotRef(std::vector<CString>& rows, int slot);

    mutable std::mutex m_mutex;
    std::vector<CString> m_slots = std::vector<CString>(kSlots);
    const void* m_owner = nullptr;
    std::unordered_map<const void*, std::vector<CString>> m_detached;
};

extern CertTextTable g_certEmails;
extern CertTextTable g_certIssuers;

// The value of the first `key` in an X.500 name text, up to the next comma;
// the whole text when the key does not occur.
CString CertNameValue(const CString& text, LPCSTR key);
// The e-mail address of a subject text, or "Not available".
CString CertEmailValue(const CString& subjectText);
