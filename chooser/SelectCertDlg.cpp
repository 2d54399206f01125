#include "chooser/SelectCertDlg.h"

#include <cstring>

#include "common/Messages.h"
#include "common/StorePositions.h"
#include "platform/crypt/EntryDamage.h"

CertTextTable g_certEmails;
CertTextTable g_certIssuers;

namespace {

constexpr DWORD kNameCapacity = 300;

// Step 3 to 5 of the value rule, from `start` on: up to the next comma, or to
// the end when there is none or it stands at `start` itself.
CString ValueFrom(const CString& text, int start) {
    const int comma = text.Find(',', start);
    if (comma > start) return text.Mid(start, comma - start);
    return text.Mid(start);
}

}  // namespace

CString CertNameValue(const CString& text, LPCSTR key) {
    const int at = text.Find(key);
    // Without the key the whole text is shown: one row per certificate,
    // which the user can still tell apart by the rest of its name.
    if (at < 0) return text;
    return ValueFrom(text, at + static_cast<int>(std::strlen(key)));
}

CString CertEmailValue(const CString& subjectText) {
    const int at = subjectText.Find("E=");
    if (at < 0) return CString("Not available");
    return ValueFrom(subjectText, at + 2);
}

// ---------------------------------------------------------------------------

void CertTextTable::BeginListing(const void* lister) {
    std::lock_guard lock(m_mutex);
    if (m_owner != nullptr && m_owner != lister) m_detached[m_owner] = m_slots;
    m_detached.erase(lister);
    m_owner = lister;
    // Slots past the fixed ones belong to the listing that made them.
    m_slots.resize(kSlots);
}

CString& CertTextTable::SlotRef(std::vector<CString>& rows, int slot) {
    if (static_cast<std::size_t>(slot) >= rows.size()) rows.resize(std::size_t(slot) + 1);
    return rows[std::size_t(slot)];
}

void CertTextTable::Write(const void* lister, int slot, const CString& text) {
    if (slot < 0) return;
    std::lock_guard lock(m_mutex);
    const auto own = m_detached.find(lister);
    std::vector<CString>& rows =
        (lister != m_owner && own != m_detached.end()) ? own->second : m_slots;
    SlotRef(rows, slot) = text;
}

CString CertTextTable::Read(const void* reader, int slot) const {
    if (slot < 0) return CString();
    std::lock_guard lock(m_mutex);
    const auto own = m_detached.find(reader);
    const std::vector<CString>& rows = own != m_detached.end() ? own->second : m_slots;
    return static_cast<std::size_t>(slot) < rows.size() ? rows[std::size_t(slot)] : CString();
}

void CertTextTable::EndListing(const void* lister) {
    std::lock_guard lock(m_mutex);
    m_detached.erase(lister);
    if (m_owner == lister) m_owner = nullptr;
}

CString CertTextTable::Slot(int slot) const {
    return Read(nullptr, slot);
}

int CertTextTable::SlotCount() const {
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_slots.size());
}

// ---------------------------------------------------------------------------

BEGIN_MESSAGE_MAP(CSelectCertDlg, CDialog)
ON_LBN_SELCHANGE(IDC_CERT_LIST, OnSelchangeCertList)
END_MESSAGE_MAP()

CSelectCertDlg::CSelectCertDlg(CWnd* pParent) : CDialog(CSelectCertDlg::IDD, pParent) {
    AfxInitRichEdit();
    m_nCertIndex = -1;
    m_strEmail = "";
    m_strIssuer = "";
    m_strMessage = "";
    m_bHideMessage = 0;
}

CSelectCertDlg::~CSelectCertDlg() {
    g_certEmails.EndListing(this);
    g_certIssuers.EndListing(this);
}

void CSelectCertDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_CERT_LIST, m_certList);
    DDX_LBIndex(pDX, IDC_CERT_LIST, m_nCertIndex);
    DDX_Text(pDX, IDC_EMAIL, m_strEmail);
    DDX_Text(pDX, IDC_ISSUER, m_strIssuer);
    DDX_Text(pDX, IDC_MESSAGE, m_strMessage);
}

BOOL CSelectCertDlg::OnInitDialog() {
    CDialog::OnInitDialog();

    FillCertificateList();

    // No row is selected yet, but the fields show the first certificate.
    m_strEmail = g_certEmails.Read(this, 0);
    m_strIssuer = g_certIssuers.Read(this, 0);
    UpdateData(FALSE);

    if (m_bHideMessage) {
        if (CWnd* preview = GetDlgItem(IDC_MESSAGE)) preview->ShowWindow(SW_HIDE);
        if (CWnd* label = GetDlgItem(IDC_MESSAGE_LABEL)) label->ShowWindow(SW_HIDE);
    }
    return TRUE;
}

void CSelectCertDlg::FillCertificateList() {
    g_certEmails.BeginListing(this);
    g_certIssuers.BeginListing(this);

    int i = 0;
    m_rowPositions.clear();
    WalkStorePositions(m_hCertStore, [&](long position, PCCERT_CONTEXT pCertContext) {
        if (m_filter && (pCertContext->cbCertEncoded == 0 || !m_filter(pCertContext))) return true;
        m_rowPositions.push_back(position);
        // An entry that cannot be used still has its row, so that every row
        // stays the position of its certificate; the row tells which entry it
        // is and why it cannot be used.
        if (pCertContext->cbCertEncoded == 0) {
            const auto damage = platform::crypt::DamageOf(pCertContext);
            const CString strRow(damage
                                     ? "Unreadable entry " + damage->entry + ": " + damage->reason
                                     : std::string("Unreadable entry"));
            ::SendMessageA(m_certList.m_hWnd, LB_ADDSTRING, 0,
                           reinterpret_cast<LPARAM>(static_cast<LPCSTR>(strRow)));
            g_certEmails.Write(this, i, CString("Not available"));
            g_certIssuers.Write(this, i, CString("Not available"));
            ++i;
            return true;
        }
        char szSubject[kNameCapacity + 1];
        char szIssuer[kNameCapacity + 1];
        std::memset(szSubject, 0, sizeof szSubject);
        std::memset(szIssuer, 0, sizeof szIssuer);
        if (pCertContext->pCertInfo != nullptr) {
            CertNameToStrA(X509_ASN_ENCODING, &pCertContext->pCertInfo->Subject, CERT_X500_NAME_STR,
                           szSubject, kNameCapacity);
            CertNameToStrA(X509_ASN_ENCODING, &pCertContext->pCertInfo->Issuer, CERT_X500_NAME_STR,
                           szIssuer, kNameCapacity);
        }
        const CString strSubject(szSubject);
        const CString strIssuer(szIssuer);

        const CString strName = CertNameValue(strSubject, "CN=");
        ::SendMessageA(m_certList.m_hWnd, LB_ADDSTRING, 0,
                       reinterpret_cast<LPARAM>(static_cast<LPCSTR>(strName)));
        g_certEmails.Write(this, i, CertEmailValue(strSubject));
        g_certIssuers.Write(this, i, CertNameValue(strIssuer, "CN="));
        ++i;
        return true;
    });

    if (i == 0) ShowMessage(msg::kNoCertificates);
}

void CSelectCertDlg::OnSelchangeCertList() {
    UpdateData(TRUE);
    if (m_nCertIndex >= 0) {
        m_strEmail = g_certEmails.Read(this, m_nCertIndex);
        m_strIssuer = g_certIssuers.Read(this, m_nCertIndex);
    }
    UpdateData(FALSE);
}

long CSelectCertDlg::ChosenPosition() const {
    if (m_nCertIndex < 0 || std::size_t(m_nCertIndex) >= m_rowPositions.size()) return -1;
    return m_rowPositions[std::size_t(m_nCertIndex)];
}

void CSelectCertDlg::OnOK() {
    UpdateData(TRUE);
    CDialog::OnOK();
}
