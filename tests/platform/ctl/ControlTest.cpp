#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/ctl/ClassTable.h"
#include "platform/ctl/PropertyFrame.h"
#include "platform/seams/Seams.h"
#include "platform/text/Utf.h"
#include "tests/platform/ctl/CtlTestSupport.h"
#include "tests/platform/ctl/TestControl.h"
#include "tests/platform/ui/UiTestSupport.h"

namespace ostrel::test {
namespace {

using platform::com::ComPtr;

class Control : public LeakChecked {
protected:
    void SetUp() override {
        LeakChecked::SetUp();
        IUnknown* made = RUNTIME_CLASS(CTestCtrl)->CreateObject();
        ASSERT_NE(made, nullptr);
        m_unknown = ComPtr<IUnknown>::Attach(made);
        m_control = dynamic_cast<CTestCtrl*>(m_unknown.As<IDispatch>().Get());
        ASSERT_NE(m_control, nullptr);
        ASSERT_EQ(m_unknown.As<IPersistStreamInit>()->InitNew(), S_OK);
    }
    void TearDown() override {
        m_control = nullptr;
        m_unknown.Reset();
        CTestPage::s_refuseAll = false;
        LeakChecked::TearDown();
    }

    std::vector<std::pair<LONG, std::string>> Verbs() {
        ComPtr<IEnumOLEVERB> e;
        EXPECT_EQ(m_unknown.As<IOleObject>()->EnumVerbs(e.Put()), S_OK);
        std::vector<std::pair<LONG, std::string>> out;
        OLEVERB verbs[4];
        ULONG fetched = 0;
        EXPECT_EQ(e->Next(4, verbs, &fetched), S_FALSE);
        for (ULONG i = 0; i < fetched; ++i) {
            out.emplace_back(verbs[i].lVerb, platform::com::Utf16ToUtf8(verbs[i].lpszVerbName));
            EXPECT_EQ(verbs[i].grfAttribs, OLEVERBATTRIB_ONCONTAINERMENU);
            CoTaskMemFree(verbs[i].lpszVerbName);
        }
        return out;
    }

    ComPtr<IUnknown> m_unknown;
    CTestCtrl* m_control = nullptr;
};

TEST_F(Control, AnswersForEveryInterfaceWithOneIdentity) {
    const IID iids[] = {IID_IDispatch,
                        kIidTest,
                        IID_IProvideClassInfo,
                        IID_IConnectionPointContainer,
                        IID_IOleObject,
                        IID_IViewObject,
                        IID_IPersist,
                        IID_IPersistStreamInit,
                        IID_IPersistPropertyBag,
                        IID_ISpecifyPropertyPages,
                        IID_IDataObject};
    for (const IID& iid : iids) {
        ComPtr<IUnknown> asked;
        ASSERT_EQ(m_unknown->QueryInterface(iid, asked.PutVoid()), S_OK)
            << platform::com::GuidToString(iid);
        EXPECT_EQ(asked.As<IUnknown>().Get(), m_unknown.Get());
    }
    ComPtr<IUnknown> none;
    EXPECT_EQ(m_unknown->QueryInterface(IID_IPropertyPage, none.PutVoid()), E_NOINTERFACE);
    EXPECT_FALSE(none);

    ComPtr<IConnectionPoint> point;
    const auto container = m_unknown.As<IConnectionPointContainer>();
    EXPECT_EQ(container->FindConnectionPoint(kIidTestEvents, point.Put()), S_OK);
    EXPECT_EQ(container->FindConnectionPoint(kIidTest, point.Put()), CONNECT_E_NOCONNECTION);
    CLSID clsid{};
    EXPECT_EQ(m_unknown.As<IPersist>()->GetClassID(&clsid), S_OK);
    EXPECT_EQ(clsid, kClsidTest);
}

TEST_F(Control, AutomationCallsRunInTheControlsModuleState) {
    AFX_MODULE_STATE module("test module");
    ComPtr<IUnknown> control;
    {
        // Made while its module's state was current, as a factory makes it.
        AFX_MANAGE_STATE(&module);
        control = ComPtr<IUnknown>::Attach(RUNTIME_CLASS(CTestCtrl)->CreateObject());
    }
    const auto dispatch = control.As<IDispatch>();
    std::u16string name = u"PING";
    LPOLESTR names[] = {name.data()};
    DISPID id = 0;
    ASSERT_EQ(dispatch->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    platform::com::Variant result;
    AFX_MODULE_STATE* before = AfxGetModuleState();
    ASSERT_EQ(
        dispatch->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &none, result.Ptr(), nullptr, nullptr),
        S_OK);
    EXPECT_EQ(result.Raw().lVal, 42);
    EXPECT_EQ(dynamic_cast<CTestCtrl*>(dispatch.Get())->m_stateSeen, &module);
    EXPECT_EQ(AfxGetModuleState(), before);
    UINT count = 9;
    EXPECT_EQ(dispatch->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 0u) << "the base has no type information";
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(dispatch->GetTypeInfo(0, 0, info.Put()), DISP_E_BADINDEX);
}

TEST_F(Control, VerbsAreTheMessageMapsInItsOrder) {
    EXPECT_EQ(Verbs(), (std::vector<std::pair<LONG, std::string>>{{0, "&Properties..."}, {1, ""}}));
    const auto ole = m_unknown.As<IOleObject>();
    EXPECT_EQ(ole->DoVerb(1, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(m_control->m_helloCalls, 1);
    EXPECT_EQ(ole->DoVerb(2, nullptr, nullptr, nullptr), OLEOBJ_E_INVALIDVERB);
    EXPECT_EQ(ole->DoVerb(-1, nullptr, nullptr, nullptr), E_NOTIMPL);

    // Walking the verbs one by one, skipping and cloning keeps the place.
    ComPtr<IEnumOLEVERB> e, clone;
    ASSERT_EQ(ole->EnumVerbs(e.Put()), S_OK);
    EXPECT_EQ(e->Skip(1), S_OK);
    ASSERT_EQ(e->Clone(clone.Put()), S_OK);
    OLEVERB verb{};
    ASSERT_EQ(clone->Next(1, &verb, nullptr), S_OK);
    EXPECT_EQ(verb.lVerb, 1);
    CoTaskMemFree(verb.lpszVerbName);
    EXPECT_EQ(clone->Next(1, &verb, nullptr), S_FALSE);
    EXPECT_EQ(e->Skip(5), S_FALSE);
}

TEST_F(Control, AVerbWalkThatRunsOutOfMemoryGivesBackWhatItTookAndKeepsItsPlace) {
    ComPtr<IEnumOLEVERB> e;
    ASSERT_EQ(m_unknown.As<IOleObject>()->EnumVerbs(e.Put()), S_OK);
    OLEVERB verbs[2] = {};
    ULONG fetched = 9;
    {
        // The first name is made, the second is not.
        platform::seams::ScopedFault fault("CoTaskMemAlloc", std::uint32_t(E_OUTOFMEMORY), 1);
        EXPECT_EQ(e->Next(2, verbs, &fetched), HRESULT(E_OUTOFMEMORY));
        EXPECT_TRUE(fault.Fired());
    }
    EXPECT_EQ(fetched, 0u);
    ASSERT_EQ(e->Next(2, verbs, &fetched), S_OK) << "the walk starts where it was";
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(verbs[0].lVerb, 0);
    EXPECT_EQ(verbs[1].lVerb, 1);
    for (OLEVERB& verb : verbs) CoTaskMemFree(verb.lpszVerbName);

    // Without the count a caller could not know what to free.
    ASSERT_EQ(e->Reset(), S_OK);
    EXPECT_EQ(e->Next(2, verbs, nullptr), E_POINTER);
    EXPECT_EQ(e->Next(1, nullptr, &fetched), E_POINTER);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(e->Clone(nullptr), E_POINTER);
}

TEST_F(Control, ThePropertiesVerbShowsEveryPageAndMovesBetweenThem) {
    ScriptedUi ui("select 1; ok");
    ASSERT_EQ(m_unknown.As<IOleObject>()->DoVerb(0, nullptr, nullptr, nullptr), S_OK);
    const auto lines = ui.DialogLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0]["dialog"], "Properties") << "the control has no user type name";
    EXPECT_EQ(ControlOf(lines[0], AFX_IDC_TAB_CONTROL)["rows"],
              nlohmann::json::array({"Alpha", "Beta"}));
    EXPECT_EQ(ControlOf(lines[0], AFX_IDC_TAB_CONTROL)["selection"], 0);
    EXPECT_EQ(ControlOf(lines[0], kAlphaLabel)["visible"], true);
    EXPECT_EQ(ControlOf(lines[0], kBetaLabel)["visible"], false);
    EXPECT_EQ(lines[1]["event"], "select 1");
    EXPECT_EQ(ControlOf(lines[1], kAlphaLabel)["visible"], false);
    EXPECT_EQ(ControlOf(lines[1], kBetaLabel)["visible"], true);
    EXPECT_EQ(ControlOf(lines[1], kBetaLabel + 1)["visible"], false)
        << "a control its page hides stays hidden";
    EXPECT_EQ(lines[2]["how"], "ok");
}

TEST_F(Control, APageThatRefusesItsControlsKeepsTheFrameOpen) {
    CTestPage::s_refuseAll = true;
    ScriptedUi ui("ok; cancel");
    ASSERT_EQ(m_unknown.As<IOleObject>()->DoVerb(OLEIVERB_PROPERTIES, nullptr, nullptr, nullptr),
              S_OK);
    const auto lines = ui.DialogLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1]["event"], "ok") << "still open after OK";
    EXPECT_EQ(lines[2]["how"], "cancel");
}

TEST_F(Control, PagesThatCannotBeMadeShowNoFrame) {
    ScriptedUi ui("ok");
    m_control->m_pages = {kClsidAlpha, kClsidNowhere};
    EXPECT_EQ(m_unknown.As<IOleObject>()->DoVerb(OLEIVERB_PROPERTIES, nullptr, nullptr, nullptr),
              E_FAIL);
    m_control->m_pages.clear();
    EXPECT_EQ(m_unknown.As<IOleObject>()->DoVerb(OLEIVERB_PROPERTIES, nullptr, nullptr, nullptr),
              E_FAIL);
    EXPECT_TRUE(ui.DialogLines().empty());

    CAUUID pages{};
    ASSERT_EQ(m_unknown.As<ISpecifyPropertyPages>()->GetPages(&pages), S_OK);
    EXPECT_EQ(pages.cElems, 0u);
    EXPECT_EQ(pages.pElems, nullptr);
}

TEST_F(Control, NothingThrownWhileDrawingReachesTheHostAndTheContextIsGivenBack) {
    m_control->m_onDraw = [] { throw std::runtime_error("broken"); };
    HDC hdc = platform::ui::CreateImageDC(10, 10);
    const RECTL bounds{0, 0, 10, 10};
    EXPECT_EQ(m_unknown.As<IViewObject>()->Draw(DVASPECT_CONTENT, -1, hdc, &bounds), E_UNEXPECTED);
    EXPECT_EQ(SelectObject(hdc, GetStockObject(WHITE_BRUSH)), GetStockObject(WHITE_BRUSH))
        << "the control's brush was taken back out";
    EXPECT_EQ(SaveDC(hdc), 1) << "nothing left saved";

    EXPECT_EQ(m_unknown.As<IViewObject>()->Draw(2, -1, hdc, &bounds), DV_E_DVASPECT);
    EXPECT_EQ(m_unknown.As<IViewObject>()->Draw(DVASPECT_CONTENT, -1, nullptr, &bounds),
              HRESULT(E_INVALIDARG));
    DeleteDC(hdc);
}

TEST_F(Control, ClassesAreCreatedByTheirRunTimeClass) {
    const CRuntimeClass* rtc = m_control->GetRuntimeClass();
    EXPECT_STREQ(rtc->m_lpszClassName, "CTestCtrl");
    EXPECT_EQ(rtc->m_wSchema, 0xFFFFu);
    EXPECT_TRUE(rtc->IsDerivedFrom(RUNTIME_CLASS(COleControl)));
    EXPECT_FALSE(RUNTIME_CLASS(COleControl)->IsDerivedFrom(rtc));
    EXPECT_EQ(RUNTIME_CLASS(COleControl)->CreateObject(), nullptr) << "not creatable";
    {
        platform::seams::ScopedFault fault("CRuntimeClass::CreateObject", 0);
        EXPECT_EQ(rtc->CreateObject(), nullptr);
    }
    IUnknown* page = nullptr;
    EXPECT_EQ(platform::ctl::CreateModuleObject(kClsidBeta, IID_IPropertyPage,
                                                reinterpret_cast<void**>(&page)),
              S_OK);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(dynamic_cast<COlePropertyPage*>(page)->GetCaption().Str(), "Beta");
    page->Release();
    EXPECT_EQ(platform::ctl::CreateModuleObject(kClsidNowhere, IID_IUnknown,
                                                reinterpret_cast<void**>(&page)),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(page, nullptr);
}

}  // namespace
}  // namespace ostrel::test
