#include <gtest/gtest.h>

#include <thread>

#include "control/OstrelCtrl.h"
#include "control/OstrelIds.h"
#include "control/OstrelPropPage.h"
#include "platform/ctl/MemoryStream.h"
#include "platform/ctl/PropertyFrame.h"
#include "platform/ctl/StateStream.h"
#include "platform/ctl/TextPropertyBag.h"
#include "platform/text/Utf.h"
#include "platform/ui/Resources.h"
#include "tests/platform/ctl/CtlTestSupport.h"
#include "tests/platform/ui/UiTestSupport.h"

struct OstrelCtrlTestAccess {
    static DWORD VersionLoaded(const COstrelCtrl& control) { return control.m_dwVersionLoaded; }
};

namespace ostrel::test {
namespace {

using platform::com::ComPtr;
using platform::ctl::MemoryStream;
using platform::ctl::TextPropertyBag;

constexpr DWORD kVersion11 = 0x00010001;

// Each test works a control made as its factory makes it, and leaves nothing
// behind: no object, no task memory, no context, no string.
class OstrelControl : public LeakChecked {
protected:
    void SetUp() override {
        LeakChecked::SetUp();
        m_unknown = ComPtr<IUnknown>::Attach(RUNTIME_CLASS(COstrelCtrl)->CreateObject());
        ASSERT_TRUE(m_unknown);
        m_control = dynamic_cast<COstrelCtrl*>(m_unknown.As<IDispatch>().Get());
        ASSERT_NE(m_control, nullptr);
    }
    void TearDown() override {
        m_control = nullptr;
        m_unknown.Reset();
        LeakChecked::TearDown();
    }

    DWORD VersionLoaded() const { return OstrelCtrlTestAccess::VersionLoaded(*m_control); }

    ComPtr<TextPropertyBag> SavedBag() {
        auto bag = TextPropertyBag::Create();
        EXPECT_EQ(m_unknown.As<IPersistPropertyBag>()->Save(bag.Get(), TRUE, TRUE), S_OK);
        return bag;
    }

    std::vector<BYTE> SavedStream() {
        auto stream = MemoryStream::Create();
        EXPECT_EQ(m_unknown.As<IPersistStreamInit>()->Save(stream.Get(), TRUE), S_OK);
        return stream->Bytes();
    }

    ComPtr<IUnknown> m_unknown;
    COstrelCtrl* m_control = nullptr;
};

TEST_F(OstrelControl, ANewControlSavesVersionOnePointOneAndNoPropertyOfItsOwn) {
    ASSERT_EQ(m_unknown.As<IPersistPropertyBag>()->InitNew(), S_OK);
    std::vector<std::pair<std::string, std::string>> saved;
    const auto bag = SavedBag();
    for (const auto& e : bag->Entries()) saved.emplace_back(e.name, e.value);
    // The stamp, then what the framework's base keeps: the extent and an
    // empty stock-property mask.
    EXPECT_EQ(saved, (std::vector<std::pair<std::string, std::string>>{{"_Version", "65537"},
                                                                       {"_ExtentX", "2646"},
                                                                       {"_ExtentY", "1323"},
                                                                       {"_StockProps", "0"}}));

    platform::ctl::StateProperties props;
    ASSERT_EQ(platform::ctl::DecodeState(SavedStream(), props), S_OK);
    ASSERT_EQ(props.size(), 4u);
    EXPECT_EQ(props[0].name, "_Version");
    EXPECT_EQ(props[0].value.Type(), VT_UI4);
    EXPECT_EQ(props[0].value.Raw().ulVal, kVersion11);
}

TEST_F(OstrelControl, AnOlderStampLoadedIsKeptAsTheLoadedVersionInBothForms) {
    std::string error;
    auto bag = TextPropertyBag::Parse("_Version=65536\n", error);
    ASSERT_EQ(m_unknown.As<IPersistPropertyBag>()->Load(bag.Get(), nullptr), S_OK);
    EXPECT_EQ(VersionLoaded(), 0x00010000u);
    // Saved again, the control writes its own version.
    EXPECT_EQ(SavedBag()->Entries()[0].value, "65537");

    platform::ctl::StateProperties older;
    platform::com::Variant stamp;
    stamp.Raw().vt = VT_UI4;
    stamp.Raw().ulVal = 0x00010000;
    older.push_back({"_Version", stamp});
    std::vector<BYTE> bytes;
    ASSERT_EQ(platform::ctl::EncodeState(older, bytes), S_OK);
    m_unknown.As<IPersistStreamInit>()->InitNew();
    EXPECT_EQ(VersionLoaded(), kVersion11);
    auto stream = MemoryStream::Create(bytes);
    ASSERT_EQ(m_unknown.As<IPersistStreamInit>()->Load(stream.Get()), S_OK);
    EXPECT_EQ(VersionLoaded(), 0x00010000u);

    // Resetting goes back to the control's own version.
    m_control->OnResetState();
    EXPECT_EQ(VersionLoaded(), kVersion11);
}

TEST_F(OstrelControl, ADamagedStateIsRefusedAndTheLoadedVersionStays) {
    ASSERT_EQ(m_unknown.As<IPersistStreamInit>()->InitNew(), S_OK);
    std::vector<BYTE> bytes = SavedStream();
    bytes[bytes.size() / 2] ^= 0x20;
    auto stream = MemoryStream::Create(bytes);
    EXPECT_EQ(m_unknown.As<IPersistStreamInit>()->Load(stream.Get()), STG_E_DOCFILECORRUPT);
    EXPECT_EQ(VersionLoaded(), kVersion11);
}

TEST_F(OstrelControl, ThePropertyPageListHoldsOnePageOnEveryCallFromEveryThread) {
    for (int i = 0; i < 3; ++i) {
        ULONG count = 0;
        const LPCLSID ids = m_control->GetPropPageIDs(count);
        ASSERT_EQ(count, 1u);
        EXPECT_EQ(ids[0], CLSID_OstrelPropPage);
        CAUUID pages{};
        ASSERT_EQ(m_unknown.As<ISpecifyPropertyPages>()->GetPages(&pages), S_OK);
        ASSERT_EQ(pages.cElems, 1u);
        EXPECT_EQ(pages.pElems[0], CLSID_OstrelPropPage);
        CoTaskMemFree(pages.pElems);
    }
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&wrong] {
            COstrelCtrl control;
            ULONG count = 0;
            const LPCLSID ids = control.GetPropPageIDs(count);
            if (count != 1 || ids[0] != CLSID_OstrelPropPage) ++wrong;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong, 0);
}

TEST_F(OstrelControl, TellsHostsWhatItIs) {
    DWORD status = 0;
    const auto ole = m_unknown.As<IOleObject>();
    ASSERT_EQ(ole->GetMiscStatus(DVASPECT_CONTENT, &status), S_OK);
    EXPECT_EQ(status, 0x20491u);
    EXPECT_EQ(m_control->GetMiscStatus(), 0x20491u);
    EXPECT_EQ(m_control->GetUserTypeNameID(), 1u);
    LPOLESTR name = nullptr;
    ASSERT_EQ(ole->GetUserType(USERCLASSTYPE_FULL, &name), S_OK);
    EXPECT_EQ(platform::com::Utf16ToUtf8(name), "Ostrel Control");
    CoTaskMemFree(name);
    CLSID clsid{};
    ASSERT_EQ(m_unknown.As<IPersist>()->GetClassID(&clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_Ostrel);
    EXPECT_EQ(m_control->GetClassID(nullptr), E_POINTER);

    const CRuntimeClass* rtc = m_control->GetRuntimeClass();
    EXPECT_STREQ(rtc->m_lpszClassName, "COstrelCtrl");
    EXPECT_EQ(rtc->m_pBaseClass, RUNTIME_CLASS(COleControl));
    EXPECT_EQ(rtc->m_wSchema, 0xFFFFu);
    // The interface of its automation, and the connection point of its
    // events, as its construction named them.
    EXPECT_TRUE(m_unknown.As<IDispatch>());
    ComPtr<IUnknown> primary;
    EXPECT_EQ(m_unknown->QueryInterface(IID__DOstrel, primary.PutVoid()), S_OK);
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(m_unknown.As<IConnectionPointContainer>()->FindConnectionPoint(IID__DOstrelEvents,
                                                                             point.Put()),
              S_OK);
}

TEST_F(OstrelControl, DrawsAWhiteRectangleWithAnInscribedEllipse) {
    ASSERT_EQ(m_unknown.As<IPersistStreamInit>()->InitNew(), S_OK);
    for (auto [w, h] : {std::pair{120, 60}, {33, 77}, {64, 64}}) {
        const auto pixels = Drawn(w, h, [&](HDC hdc) {
            const RECTL bounds{0, 0, w, h};
            EXPECT_EQ(m_unknown.As<IViewObject>()->Draw(DVASPECT_CONTENT, -1, hdc, &bounds), S_OK);
        });
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        ExpectWhiteRectangleWithInscribedEllipse(pixels);
    }
    // Bounds inside a larger picture: nothing is drawn outside them.
    const auto pixels = Drawn(100, 100, [&](HDC hdc) {
        const RECTL bounds{20, 30, 80, 70};
        m_unknown.As<IViewObject>()->Draw(DVASPECT_CONTENT, -1, hdc, &bounds);
    });
    EXPECT_EQ(pixels.At(19, 50), 0u);
    EXPECT_EQ(pixels.At(80, 50), 0u);
    EXPECT_EQ(pixels.At(50, 29), 0u);
    EXPECT_EQ(pixels.At(20, 30), kWhite);
    EXPECT_TRUE(Dark(pixels.At(50, 30)));
    EXPECT_TRUE(Dark(pixels.At(50, 69)));
}

TEST_F(OstrelControl, ThePropertiesVerbShowsOnePageCaptionedGeneral) {
    ScriptedUi ui("ok");
    const auto ole = m_unknown.As<IOleObject>();
    ComPtr<IEnumOLEVERB> verbs;
    ASSERT_EQ(ole->EnumVerbs(verbs.Put()), S_OK);
    OLEVERB verb{};
    ASSERT_EQ(verbs->Next(1, &verb, nullptr), S_OK);
    EXPECT_EQ(platform::com::Utf16ToUtf8(verb.lpszVerbName), "&Properties...");
    CoTaskMemFree(verb.lpszVerbName);
    EXPECT_EQ(verbs->Next(1, &verb, nullptr), S_FALSE) << "the only verb";

    ASSERT_EQ(ole->DoVerb(verb.lVerb, nullptr, nullptr, nullptr), S_OK);
    ASSERT_EQ(ole->DoVerb(OLEIVERB_PROPERTIES, nullptr, nullptr, nullptr), S_OK);
    const auto lines = ui.DialogLines();
    ASSERT_EQ(lines.size(), 4u);
    for (const auto& open : {lines[0], lines[2]}) {
        EXPECT_EQ(open["dialog"], "Ostrel Control Properties");
        EXPECT_EQ(open["event"], "open");
        EXPECT_EQ(ControlOf(open, AFX_IDC_TAB_CONTROL)["rows"], nlohmann::json::array({"General"}));
    }
    EXPECT_EQ(lines[1]["how"], "ok");
}

TEST_F(OstrelControl, ThePageIsGeneralWithItsTemplateAndClass) {
    ComPtr<IUnknown> unknown =
        ComPtr<IUnknown>::Attach(RUNTIME_CLASS(COstrelPropPage)->CreateObject());
    ASSERT_TRUE(unknown);
    auto* page = dynamic_cast<COstrelPropPage*>(unknown.As<IPropertyPage>().Get());
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->GetCaption().Str(), "General");
    const auto* tmpl = page->GetPageTemplate();
    ASSERT_NE(tmpl, nullptr);
    EXPECT_EQ(tmpl->style, 0x40000040u);
    EXPECT_EQ(tmpl->cx, 250);
    EXPECT_EQ(tmpl->cy, 62);
    ASSERT_EQ(tmpl->items.size(), 1u);
    EXPECT_STREQ(tmpl->items[0].text,
                 "TODO: Place controls to manipulate properties of Ostrel Control on this dialog.");
    CLSID clsid{};
    EXPECT_EQ(page->GetClassID(&clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_OstrelPropPage);
    EXPECT_STREQ(page->GetRuntimeClass()->m_lpszClassName, "COstrelPropPage");
    EXPECT_EQ(page->GetRuntimeClass()->m_pBaseClass, RUNTIME_CLASS(COlePropertyPage));
}

TEST_F(OstrelControl, AboutBoxShowsItsDialogAndReturnsWhenItIsClosed) {
    ScriptedUi ui("ok");
    const auto dispatch = m_unknown.As<IDispatch>();
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    ASSERT_EQ(dispatch->Invoke(DISPID_ABOUTBOX, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr,
                               nullptr, nullptr),
              S_OK);
    ui.Script("close");
    m_control->AboutBox();
    const auto lines = ui.DialogLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0]["dialog"], "About Ostrel Control");
    EXPECT_EQ(lines[0]["event"], "open");
    EXPECT_EQ(lines[1]["how"], "ok");
    EXPECT_EQ(lines[3]["how"], "close");
    // What the box says, as its template has it.
    const auto* tmpl = platform::ui::FindDialogTemplate(1);
    ASSERT_NE(tmpl, nullptr);
    ASSERT_EQ(tmpl->items.size(), 4u);
    EXPECT_STREQ(tmpl->items[1].text, "Ostrel Control, Version 1.1");
    EXPECT_EQ(tmpl->items[0].imageId, 203);
}

}  // namespace
}  // namespace ostrel::test
