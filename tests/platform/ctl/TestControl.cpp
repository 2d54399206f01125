#include "tests/platform/ctl/TestControl.h"

#include "platform/ctl/ClassTable.h"

namespace ostrel::test {
namespace {

using platform::ui::DialogItemTemplate;
using platform::ui::DialogTemplate;

constexpr DialogItemTemplate kAlphaItems[] = {
    {WS_CHILD | WS_VISIBLE, 0, 7, 7, 100, 8, kAlphaLabel, WC_STATIC, "Alpha page", 0},
};
constexpr DialogTemplate kAlpha = {WS_CHILD | DS_SETFONT, 0,          0, 0, 150, 40, "", 8,
                                   "MS Sans Serif",       kAlphaItems};

constexpr DialogItemTemplate kBetaItems[] = {
    {WS_CHILD | WS_VISIBLE, 0, 7, 7, 100, 8, kBetaLabel, WC_STATIC, "Beta page", 0},
    {WS_CHILD, 0, 7, 20, 100, 8, kBetaLabel + 1, WC_STATIC, "never shown", 0},
};
constexpr DialogTemplate kBeta = {WS_CHILD | DS_SETFONT, 0,         0, 0, 200, 60, "", 8,
                                  "MS Sans Serif",       kBetaItems};

const platform::ctl::ModuleClass g_alpha(kClsidAlpha, RUNTIME_CLASS(CAlphaPage));
const platform::ctl::ModuleClass g_beta(kClsidBeta, RUNTIME_CLASS(CBetaPage));

}  // namespace

IMPLEMENT_DYNCREATE(CTestCtrl, COleControl)
IMPLEMENT_DYNCREATE(CAlphaPage, COlePropertyPage)
IMPLEMENT_DYNCREATE(CBetaPage, COlePropertyPage)

BEGIN_MESSAGE_MAP(CTestCtrl, COleControl)
ON_OLEVERB(AFX_IDS_VERB_PROPERTIES, OnProperties)
ON_OLEVERB(kUnnamedVerb, OnHello)
END_MESSAGE_MAP()

const platform::com::DispatchTable* CTestCtrl::GetDispatchMap() const {
    static constexpr platform::com::DispatchEntry kEntries[] = {
        DISP_FUNCTION(CTestCtrl, "Ping", Ping, VT_I4, VTS_NONE),
    };
    static constexpr platform::com::DispatchTable kTable =
        platform::com::MakeDispatchTable<CTestCtrl>(kEntries);
    return &kTable;
}

CAlphaPage::CAlphaPage() : CTestPage(&kAlpha, "Alpha") {}
CBetaPage::CBetaPage() : CTestPage(&kBeta, "Beta") {}

}  // namespace ostrel::test
