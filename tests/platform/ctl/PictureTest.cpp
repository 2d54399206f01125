#include <gtest/gtest.h>

#include <cmath>
#include <new>
#include <stdexcept>

#include "platform/com/Activation.h"
#include "platform/ctl/DataObject.h"
#include "platform/ctl/MemoryStream.h"
#include "platform/ctl/TextPropertyBag.h"
#include "platform/seams/Seams.h"
#include "tests/platform/ctl/CtlTestSupport.h"
#include "tests/platform/ctl/TestControl.h"

namespace ostrel::test {
namespace {

using platform::com::ComPtr;
using platform::ctl::HimetricFromPixels;

constexpr FORMATETC kPng = {CF_PNG, nullptr, DVASPECT_CONTENT, -1, TYMED_ISTREAM};

// Every byte left in a stream from where it stands.
std::vector<BYTE> ReadAll(IStream* stream) {
    std::vector<BYTE> out;
    BYTE chunk[4096];
    ULONG got = 0;
    do {
        EXPECT_EQ(stream->Read(chunk, sizeof chunk, &got), S_OK);
        out.insert(out.end(), chunk, chunk + got);
    } while (got == sizeof chunk);
    return out;
}

// The size in the header of a PNG file image; 0 by 0 for anything else.
std::pair<std::uint32_t, std::uint32_t> PngSize(const std::vector<BYTE>& png) {
    const BYTE head[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n',
                         0,    0,   0,   13,  'I',  'H',  'D',  'R'};
    if (png.size() < 24 || !std::equal(std::begin(head), std::end(head), png.begin())) return {};
    const auto be32 = [&](std::size_t at) {
        return std::uint32_t(png[at]) << 24 | std::uint32_t(png[at + 1]) << 16 |
               std::uint32_t(png[at + 2]) << 8 | png[at + 3];
    };
    return {be32(16), be32(20)};
}

class Picture : public LeakChecked {
protected:
    void SetUp() override {
        LeakChecked::SetUp();
        m_unknown = ComPtr<IUnknown>::Attach(RUNTIME_CLASS(CTestCtrl)->CreateObject());
        ASSERT_TRUE(m_unknown);
        m_control = dynamic_cast<CTestCtrl*>(m_unknown.As<IDispatch>().Get());
        m_data = m_unknown.As<IDataObject>();
        m_ole = m_unknown.As<IOleObject>();
        ASSERT_TRUE(m_data);
        ASSERT_EQ(m_data.As<IUnknown>().Get(), m_unknown.Get()) << "one identity";
        ASSERT_EQ(m_unknown.As<IPersistStreamInit>()->InitNew(), S_OK);
    }
    void TearDown() override {
        m_data.Reset();
        m_ole.Reset();
        m_control = nullptr;
        m_unknown.Reset();
        LeakChecked::TearDown();
    }

    HRESULT SetPixels(int width, int height) {
        SIZEL size{HimetricFromPixels(width), HimetricFromPixels(height)};
        return m_ole->SetExtent(DVASPECT_CONTENT, &size);
    }

    // The picture GetData gives, read from the stream as handed out; empty on
    // failure, which must leave the medium empty.
    std::vector<BYTE> Png(HRESULT expected = S_OK, FORMATETC format = kPng) {
        STGMEDIUM medium{TYMED_HGLOBAL, reinterpret_cast<IStream*>(8), nullptr};
        EXPECT_EQ(m_data->GetData(&format, &medium), expected);
        if (FAILED(expected)) {
            EXPECT_EQ(medium.tymed, TYMED_NULL);
            EXPECT_EQ(medium.pstm, nullptr);
            EXPECT_EQ(medium.pUnkForRelease, nullptr);
            return {};
        }
        EXPECT_EQ(medium.tymed, TYMED_ISTREAM);
        EXPECT_EQ(medium.pUnkForRelease, nullptr);
        if (medium.pstm == nullptr) return {};
        std::vector<BYTE> png = ReadAll(medium.pstm);
        ReleaseStgMedium(&medium);
        EXPECT_EQ(medium.pstm, nullptr);
        return png;
    }

    // The same control drawn by the host into a context of its own.
    std::vector<BYTE> DrawnByHost(int width, int height) {
        HDC hdc = platform::ui::CreateImageDC(width, height);
        const RECTL bounds{0, 0, width, height};
        EXPECT_EQ(m_unknown.As<IViewObject>()->Draw(DVASPECT_CONTENT, -1, hdc, &bounds), S_OK);
        std::vector<unsigned char> png;
        EXPECT_TRUE(platform::ui::EncodeImagePng(hdc, png));
        DeleteDC(hdc);
        return png;
    }

    ComPtr<IUnknown> m_unknown;
    ComPtr<IDataObject> m_data;
    ComPtr<IOleObject> m_ole;
    CTestCtrl* m_control = nullptr;
};

TEST_F(Picture, IsTheControlAsDrawnIntoAContextOfItsExtent) {
    EXPECT_EQ(PngSize(Png()), (std::pair<std::uint32_t, std::uint32_t>{100, 50}))
        << "the default extent";
    for (auto [w, h] : {std::pair{1, 1}, {37, 20}, {300, 7}, {64, 640}}) {
        ASSERT_EQ(SetPixels(w, h), S_OK);
        const std::vector<BYTE> png = Png();
        EXPECT_EQ(PngSize(png), (std::pair<std::uint32_t, std::uint32_t>(w, h)));
        EXPECT_EQ(png, DrawnByHost(w, h)) << w << "x" << h;
    }
    // The control did draw: its black ellipse fills the middle.
    HDC hdc = platform::ui::CreateImageDC(64, 640);
    const RECTL bounds{0, 0, 64, 640};
    ASSERT_EQ(m_unknown.As<IViewObject>()->Draw(DVASPECT_CONTENT, -1, hdc, &bounds), S_OK);
    platform::ui::ImagePixels pixels;
    ASSERT_TRUE(platform::ui::RenderImage(hdc, pixels));
    EXPECT_EQ(pixels.At(32, 320), kBlack);
    DeleteDC(hdc);
}

TEST_F(Picture, EveryPixelWidthIsReachedThroughItsRoundedExtent) {
    for (int w = 1; w <= 4096; ++w) {
        SIZEL size{LONG(std::lround(w * 2540.0 / 96.0)), 26};
        ASSERT_EQ(m_ole->SetExtent(DVASPECT_CONTENT, &size), S_OK) << w;
        ASSERT_EQ(PngSize(Png()).first, std::uint32_t(w)) << "himetric " << size.cx;
    }
}

TEST_F(Picture, EachFieldOfARequestItCannotMeetHasItsCode) {
    struct Case {
        FORMATETC format;
        HRESULT code;
    };
    const Case cases[] = {
        {{CF_PNG + 1, nullptr, DVASPECT_CONTENT, -1, TYMED_ISTREAM}, DV_E_FORMATETC},
        {{CF_PNG, nullptr, 2, -1, TYMED_ISTREAM}, DV_E_DVASPECT},
        {{CF_PNG, nullptr, DVASPECT_CONTENT, 0, TYMED_ISTREAM}, DV_E_LINDEX},
        {{CF_PNG, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL}, DV_E_TYMED},
        {{CF_PNG, nullptr, DVASPECT_CONTENT, -1, TYMED_NULL}, DV_E_TYMED},
        {{CF_PNG, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL | TYMED_ISTREAM}, S_OK},
    };
    for (const Case& c : cases) {
        FORMATETC asked = c.format;
        EXPECT_EQ(m_data->QueryGetData(&asked), c.code) << platform::com::HResultName(c.code);
        Png(c.code, c.format);
    }
    EXPECT_EQ(platform::com::HResultName(DV_E_TYMED), "DV_E_TYMED");

    FORMATETC format = kPng;
    STGMEDIUM medium{TYMED_ISTREAM, reinterpret_cast<IStream*>(8), nullptr};
    EXPECT_EQ(m_data->GetData(nullptr, &medium), E_POINTER);
    EXPECT_EQ(medium.pstm, nullptr);
    EXPECT_EQ(m_data->GetData(&format, nullptr), E_POINTER);
    EXPECT_EQ(m_data->QueryGetData(nullptr), E_POINTER);
}

TEST_F(Picture, TheExtentIsKeptAndAChangeMarksTheControlModified) {
    SIZEL size{5000, 3000};
    ASSERT_EQ(m_ole->SetExtent(DVASPECT_CONTENT, &size), S_OK);
    SIZEL got{};
    ASSERT_EQ(m_ole->GetExtent(DVASPECT_CONTENT, &got), S_OK);
    EXPECT_EQ(got.cx, 5000);
    EXPECT_EQ(got.cy, 3000);
    EXPECT_EQ(m_unknown.As<IPersistStreamInit>()->IsDirty(), S_OK);
    ASSERT_EQ(m_unknown.As<IPersistStreamInit>()->InitNew(), S_OK);
    size = {2646, 1323};
    ASSERT_EQ(m_ole->SetExtent(DVASPECT_CONTENT, &size), S_OK);
    EXPECT_EQ(m_unknown.As<IPersistStreamInit>()->IsDirty(), S_FALSE) << "the same extent";

    EXPECT_EQ(m_ole->SetExtent(2, &size), DV_E_DVASPECT);
    EXPECT_EQ(m_ole->GetExtent(2, &got), DV_E_DVASPECT);
    EXPECT_EQ(m_ole->SetExtent(DVASPECT_CONTENT, nullptr), E_POINTER);
    EXPECT_EQ(m_ole->GetExtent(DVASPECT_CONTENT, nullptr), E_POINTER);
}

TEST_F(Picture, AnExtentNoPictureCanBeMadeOfIsRefused) {
    const LONG side = HimetricFromPixels(platform::ui::kMaxImageSide);
    const SIZEL refused[] = {
        {0, 1000},       {1000, 0},       {-26, 1000},  {1000, LONG(-2147483647 - 1)},
        {13, 1000},  // less than half a pixel
        {side + 27, 26}, {26, side + 27}, {side, side}, {2147483647, 2147483647},
    };
    for (SIZEL size : refused) {
        EXPECT_EQ(m_ole->SetExtent(DVASPECT_CONTENT, &size), HRESULT(E_INVALIDARG))
            << size.cx << " x " << size.cy;
    }
    SIZEL got{};
    ASSERT_EQ(m_ole->GetExtent(DVASPECT_CONTENT, &got), S_OK);
    EXPECT_EQ(got.cx, 2646);
    EXPECT_EQ(m_unknown.As<IPersistStreamInit>()->IsDirty(), S_FALSE);
    // The largest picture a context holds is still taken.
    SIZEL largest{side, HimetricFromPixels(4096)};
    EXPECT_EQ(m_ole->SetExtent(DVASPECT_CONTENT, &largest), S_OK);
}

TEST_F(Picture, AFailureGivesItsCodeAnEmptyMediumAndLeavesNoContext) {
    // An extent from a saved state is not checked on the way in.
    std::string error;
    for (const char* state : {"_ExtentX=0\n", "_ExtentX=99999999\n"}) {
        auto bag = platform::ctl::TextPropertyBag::Parse(state, error);
        ASSERT_EQ(m_control->Load(bag.Get(), nullptr), S_OK);
        Png(HRESULT(E_INVALIDARG));
    }
    ASSERT_EQ(SetPixels(20, 10), S_OK);
    // The painter module missing shows as the code RenderImage gives for it.
    for (auto [function, code] : {std::pair{"CreateImageDC", ERROR_NOT_ENOUGH_MEMORY},
                                  {"SaveDC", ERROR_INVALID_HANDLE},
                                  {"RenderImage", ERROR_MOD_NOT_FOUND},
                                  {"EncodeImagePng", ERROR_NOT_ENOUGH_MEMORY}}) {
        platform::seams::ScopedFault fault(function, code);
        Png(HRESULT_FROM_WIN32(code));
        EXPECT_TRUE(fault.Fired()) << function;
        EXPECT_EQ(platform::ui::LiveDeviceContexts(), 0) << function;
    }
    m_control->m_onDraw = [] { throw std::runtime_error("broken"); };
    Png(E_UNEXPECTED);
    m_control->m_onDraw = [] { throw std::bad_alloc(); };
    Png(HRESULT(E_OUTOFMEMORY));
    EXPECT_EQ(platform::ui::LiveDeviceContexts(), 0);
}

TEST_F(Picture, IsMadeInTheControlsModuleState) {
    AFX_MODULE_STATE module("picture module");
    ComPtr<IUnknown> control;
    {
        // Made while its module's state was current, as a factory makes it.
        AFX_MANAGE_STATE(&module);
        control = ComPtr<IUnknown>::Attach(RUNTIME_CLASS(CTestCtrl)->CreateObject());
    }
    AFX_MODULE_STATE* seen = nullptr;
    dynamic_cast<CTestCtrl*>(control.As<IDispatch>().Get())->m_onDraw = [&] {
        seen = AfxGetModuleState();
    };
    const auto data = control.As<IDataObject>();
    FORMATETC format = kPng;
    STGMEDIUM medium{};
    ASSERT_EQ(data->GetData(&format, &medium), S_OK);
    EXPECT_EQ(seen, &module);
    ReleaseStgMedium(&medium);
}

TEST_F(Picture, ReleasingAMediumLetsGoOfBothReferencesOnce) {
    const long before = platform::com::LiveObjects();
    auto keeper = platform::ctl::MemoryStream::Create();
    STGMEDIUM medium{TYMED_ISTREAM, platform::ctl::MemoryStream::Create().Detach(),
                     static_cast<IStream*>(keeper.Get())};
    keeper->AddRef();  // the medium's own
    ReleaseStgMedium(&medium);
    EXPECT_EQ(medium.tymed, TYMED_NULL);
    EXPECT_EQ(medium.pstm, nullptr);
    EXPECT_EQ(medium.pUnkForRelease, nullptr);
    ReleaseStgMedium(&medium);
    ReleaseStgMedium(nullptr);
    EXPECT_EQ(platform::com::LiveObjects(), before + 1) << "only the keeper's own reference left";
}

}  // namespace
}  // namespace ostrel::test
