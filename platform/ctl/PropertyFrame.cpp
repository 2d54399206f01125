#include "platform/ctl/PropertyFrame.h"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "platform/ctl/ClassTable.h"
#include "platform/ctl/PropertyPage.h"
#include "platform/seams/Seams.h"
#include "platform/text/Utf.h"
#include "platform/ui/DialogItems.h"
#include "platform/ui/ListBox.h"
#include "platform/win/Failure.h"

using platform::com::ComPtr;
using platform::ui::DialogItemTemplate;
using platform::ui::DialogTemplate;

namespace {

// Layout in dialog units: the list of pages on the left, the page to its
// right, the buttons below both.
constexpr short kMargin = 7;
constexpr short kListWidth = 60;
constexpr short kButtonWidth = 50;
constexpr short kButtonHeight = 14;
constexpr short kButtonGap = 4;
// More pages than any frame shows; beyond it the caller is mistaken.
constexpr ULONG kMaxPages = 64;

class CPropertyFrameDlg final : public CDialog {
public:
    CPropertyFrameDlg(std::string caption, std::vector<COlePropertyPage*> pages)
        : m_caption(std::move(caption)), m_pages(std::move(pages)) {
        Build();
        InitModalIndirect(&m_template);
    }

    ~CPropertyFrameDlg() override {
        for (COlePropertyPage* page : m_pages) page->Deactivate();
    }

protected:
    void DoDataExchange(CDataExchange* pDX) override {
        DDX_Control(pDX, AFX_IDC_TAB_CONTROL, m_list);
    }

    BOOL OnInitDialog() override {
        if (!CDialog::OnInitDialog()) return FALSE;
        for (COlePropertyPage* page : m_pages) m_list.AddString(page->GetCaption());
        for (COlePropertyPage* page : m_pages)
            if (FAILED(page->Activate(m_hWnd, nullptr, TRUE))) {
                EndDialog(-1);
                return FALSE;
            }
        ShowPage(0);
        return TRUE;
    }

    void OnOK() override {
        // A page that refuses what its controls hold keeps the frame open.
        if (!ApplyAll()) return;
        EndDialog(IDOK);
    }

    void OnApplyNow() { ApplyAll(); }

    void OnSelchangePages() {
        const int row = m_list.GetCurSel();
        if (row >= 0 && row < static_cast<int>(m_pages.size()))
            ShowPage(row);
        else
            m_list.SetCurSel(m_current);
    }

    DECLARE_MESSAGE_MAP()

private:
    struct PageItems {
        int first = 0;
        std::vector<bool> visible;  // as the page's template has them
    };

    void Build() {
        short pageCx = 0;
        short pageCy = 0;
        for (COlePropertyPage* page : m_pages) {
            const DialogTemplate* t = page->GetPageTemplate();
            pageCx = std::max(pageCx, t->cx);
            pageCy = std::max(pageCy, t->cy);
        }
        const short pageX = kMargin + kListWidth + kMargin;
        const short frameCx = pageX + pageCx + kMargin;
        const short buttonsY = kMargin + pageCy + kMargin;

        m_items.push_back({WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | WS_TABSTOP |
                               LBS_NOTIFY | LBS_NOINTEGRALHEIGHT,
                           0, kMargin, kMargin, kListWidth, pageCy, AFX_IDC_TAB_CONTROL, WC_LISTBOX,
                           "", 0});
        for (COlePropertyPage* page : m_pages) {
            PageItems items;
            items.first = static_cast<int>(m_items.size());
            for (DialogItemTemplate item : page->GetPageTemplate()->items) {
                items.visible.push_back((item.style & WS_VISIBLE) != 0);
                item.x = static_cast<short>(item.x + pageX);
                item.y = static_cast<short>(item.y + kMargin);
                // Only the first page shows at first.
                if (!m_pageItems.empty()) item.style &= ~WS_VISIBLE;
                m_items.push_back(item);
            }
            m_pageItems.push_back(std::move(items));
        }
        const short applyX = frameCx - kMargin - kButtonWidth;
        const short cancelX = applyX - kButtonGap - kButtonWidth;
        const short okX = cancelX - kButtonGap - kButtonWidth;
        m_items.push_back({WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, okX, buttonsY,
                           kButtonWidth, kButtonHeight, IDOK, WC_BUTTON, "OK", 0});
        m_items.push_back({WS_CHILD | WS_VISIBLE | WS_TABSTOP, 0, cancelX, buttonsY, kButtonWidth,
                           kButtonHeight, IDCANCEL, WC_BUTTON, "Cancel", 0});
        // Pages of this framework tell of their changes only when applied,
        // so Apply has nothing to do before OK.
        m_items.push_back({WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_DISABLED, 0, applyX, buttonsY,
                           kButtonWidth, kButtonHeight, ID_APPLY_NOW, WC_BUTTON, "Apply", 0});

        const DialogTemplate* first = m_pages.front()->GetPageTemplate();
        m_template.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT;
        m_template.cx = frameCx;
        m_template.cy = static_cast<short>(buttonsY + kButtonHeight + kMargin);
        m_template.caption = m_caption.c_str();
        m_template.pointSize = first->pointSize;
        m_template.typeface = first->typeface;
        m_template.items = m_items;
    }

    void ShowPage(int index) {
        for (int p = 0; p < static_cast<int>(m_pageItems.size()); ++p) {
            const PageItems& items = m_pageItems[std::size_t(p)];
            for (std::size_t i = 0; i < items.visible.size(); ++i) {
                HWND item = GetDlgItemByIndex(m_hWnd, items.first + static_cast<int>(i));
                if (item != nullptr)
                    ::ShowWindow(item, p == index && items.visible[i] ? SW_SHOW : SW_HIDE);
            }
        }
        m_current = index;
        if (m_list.GetCurSel() != index) m_list.SetCurSel(index);
    }

    bool ApplyAll() {
        for (COlePropertyPage* page : m_pages)
            if (FAILED(page->Apply())) return false;
        return true;
    }

    std::string m_caption;
    std::vector<COlePropertyPage*> m_pages;
    std::vector<PageItems> m_pageItems;
    std::vector<DialogItemTemplate> m_items;
    DialogTemplate m_template{};
    CListBox m_list;
    int m_current = -1;
};

BEGIN_MESSAGE_MAP(CPropertyFrameDlg, CDialog)
ON_BN_CLICKED(ID_APPLY_NOW, OnApplyNow)
ON_LBN_SELCHANGE(AFX_IDC_TAB_CONTROL, OnSelchangePages)
END_MESSAGE_MAP()

}  // namespace

HRESULT OleCreatePropertyFrame(HWND, UINT, UINT, LPCOLESTR lpszCaption, ULONG cObjects,
                               LPUNKNOWN* ppUnk, ULONG cPages, LPCLSID pPageClsID, LCID, DWORD,
                               LPVOID) {
    if ((cObjects != 0 && ppUnk == nullptr) || (cPages != 0 && pPageClsID == nullptr))
        return E_POINTER;
    if (cPages == 0 || cPages > kMaxPages) return HRESULT(E_INVALIDARG);
    return platform::GuardedHr(
        "OleCreatePropertyFrame",
        [&]() -> HRESULT {
            std::vector<ComPtr<IPropertyPage>> held;
            std::vector<COlePropertyPage*> pages;
            for (ULONG i = 0; i < cPages; ++i) {
                ComPtr<IPropertyPage> page;
                const HRESULT hr = platform::ctl::CreateModuleObject(
                    pPageClsID[i], IID_IPropertyPage, page.PutVoid());
                if (FAILED(hr)) return hr;
                // The frame lays out the page's template inside its own, which
                // only a page of this framework has.
                auto* framework = dynamic_cast<COlePropertyPage*>(page.Get());
                if (framework == nullptr || framework->GetPageTemplate() == nullptr)
                    return E_NOTIMPL;
                if (const HRESULT set = page->SetObjects(cObjects, ppUnk); FAILED(set)) return set;
                pages.push_back(framework);
                held.push_back(std::move(page));
            }
            const std::string name =
                lpszCaption == nullptr ? std::string() : platform::com::Utf16ToUtf8(lpszCaption);
            INT_PTR result = -1;
            {
                CPropertyFrameDlg frame(name.empty() ? "Properties" : name + " Properties", pages);
                result = frame.DoModal();
            }
            for (const auto& page : held) page->SetObjects(0, nullptr);
            return result == -1 ? E_FAIL : S_OK;
        },
        E_UNEXPECTED, E_OUTOFMEMORY);
}
