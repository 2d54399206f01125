#include <gtest/gtest.h>

#include "platform/ctl/MemoryStream.h"
#include "platform/ctl/StateStream.h"
#include "platform/ctl/TextPropertyBag.h"
#include "platform/text/Utf.h"
#include "tests/platform/ctl/CtlTestSupport.h"
#include "tests/platform/ctl/TestControl.h"

namespace ostrel::test {
namespace {

using platform::com::ComPtr;
using platform::ctl::MemoryStream;
using platform::ctl::StateProperties;
using platform::ctl::TextPropertyBag;

// A text that crosses every escape of the text form and more than ASCII.
const CString kAwkward("a=b \\ c\nd\re\tf\x01g \xC3\xBCn\xC3\xAF #x");

// Collects what a control could not take from a bag.
class ErrorLog final : public platform::com::ComObject<IErrorLog> {
public:
    static ComPtr<ErrorLog> Create() { return ComPtr<ErrorLog>::Attach(new ErrorLog()); }
    HRESULT AddError(LPCOLESTR name, EXCEPINFO*) override {
        names.push_back(platform::com::Utf16ToUtf8(name));
        return S_OK;
    }
    std::vector<std::string> names;
};

class Persistence : public LeakChecked {
protected:
    // The control's own state, besides the version.
    static void ExpectSame(const CTestCtrl& a, const CTestCtrl& b) {
        EXPECT_EQ(a.m_strCaption.Str(), b.m_strCaption.Str());
        EXPECT_EQ(a.m_bFlag, b.m_bFlag);
        EXPECT_EQ(a.m_sCount, b.m_sCount);
        EXPECT_EQ(a.ExtentX(), b.ExtentX());
    }

    static std::vector<BYTE> Saved(CTestCtrl& control) {
        auto stream = MemoryStream::Create();
        EXPECT_EQ(control.Save(static_cast<IStream*>(stream.Get()), TRUE), S_OK);
        return stream->Bytes();
    }

    static HRESULT LoadBytes(CTestCtrl& control, std::vector<BYTE> bytes) {
        auto stream = MemoryStream::Create(std::move(bytes));
        return control.Load(static_cast<IStream*>(stream.Get()));
    }

    static std::string SavedText(CTestCtrl& control) {
        auto bag = TextPropertyBag::Create();
        EXPECT_EQ(control.Save(bag.Get(), TRUE, TRUE), S_OK);
        return bag->Text();
    }

    static ComPtr<TextPropertyBag> Bag(const std::string& text) {
        std::string error;
        auto bag = TextPropertyBag::Parse(text, error);
        EXPECT_TRUE(bag) << error;
        return bag;
    }

    CTestCtrl m_control;
};

TEST_F(Persistence, BothFormsGiveBackEveryProperty) {
    m_control.InitNew();
    m_control.m_strCaption = kAwkward;
    m_control.m_bFlag = FALSE;
    m_control.m_sCount = -32768;

    CTestCtrl fromText;
    ASSERT_EQ(fromText.Load(Bag(SavedText(m_control)).Get(), nullptr), S_OK);
    ExpectSame(fromText, m_control);

    CTestCtrl fromStream;
    const std::vector<BYTE> bytes = Saved(m_control);
    ASSERT_EQ(LoadBytes(fromStream, bytes), S_OK);
    ExpectSame(fromStream, m_control);
    std::uint64_t size = 0;
    EXPECT_EQ(m_control.GetSizeMax(&size), S_OK);
    EXPECT_EQ(size, bytes.size());
}

TEST_F(Persistence, SavingWritesTheCurrentVersionAndLoadingKeepsTheStoredOne) {
    m_control.InitNew();
    EXPECT_EQ(m_control.VersionLoaded(), kTestVersion);
    EXPECT_NE(SavedText(m_control).find("_Version=131075\n"), std::string::npos);

    // An older state: its stamp is the version loaded, in either form; saved
    // again, it is the current one.
    ASSERT_EQ(m_control.Load(Bag("_Version=65536\n").Get(), nullptr), S_OK);
    EXPECT_EQ(m_control.VersionLoaded(), 0x00010000u);
    EXPECT_NE(SavedText(m_control).find("_Version=131075\n"), std::string::npos);

    StateProperties older;
    older.push_back({"_Version", platform::com::Variant::I4(0x00010002)});
    std::vector<BYTE> bytes;
    ASSERT_EQ(platform::ctl::EncodeState(older, bytes), S_OK);
    ASSERT_EQ(LoadBytes(m_control, bytes), S_OK);
    EXPECT_EQ(m_control.VersionLoaded(), 0x00010002u);

    // A state without a stamp is taken as the current version.
    ASSERT_EQ(m_control.Load(Bag("Count=3\n").Get(), nullptr), S_OK);
    EXPECT_EQ(m_control.VersionLoaded(), kTestVersion);
    EXPECT_EQ(m_control.m_sCount, 3);
}

TEST_F(Persistence, AnExchangeWithoutConversionWritesTheVersionLoaded) {
    DWORD loaded = 0x00010000;
    StateProperties props;
    platform::ctl::ListPropExchange save(props, FALSE);
    EXPECT_TRUE(save.ExchangeVersion(loaded, kTestVersion, FALSE));
    EXPECT_EQ(save.GetVersion(), 0x00010000u);
    ASSERT_NE(platform::ctl::FindProperty(props, "_VERSION"), nullptr);
    EXPECT_EQ(platform::ctl::FindProperty(props, "_version")->value.Raw().ulVal, 0x00010000u);
}

TEST_F(Persistence, ResettingGivesEveryDefaultBack) {
    m_control.m_strCaption = "changed";
    m_control.m_sCount = 99;
    ASSERT_EQ(m_control.Load(Bag("_Version=1\n_ExtentX=5\n").Get(), nullptr), S_OK);
    m_control.OnResetState();
    EXPECT_EQ(m_control.m_strCaption.Str(), "untitled");
    EXPECT_EQ(m_control.m_bFlag, TRUE);
    EXPECT_EQ(m_control.m_sCount, 7);
    EXPECT_EQ(m_control.VersionLoaded(), kTestVersion);
    EXPECT_EQ(m_control.ExtentX(), 2646);
}

TEST_F(Persistence, ABagValueThatDoesNotConvertTakesTheDefaultAndIsReported) {
    const auto log = ErrorLog::Create();
    ASSERT_EQ(m_control.Load(Bag("Count=many\nFlag=False\n_ExtentX=-4\n# note\n").Get(), log.Get()),
              S_OK);
    EXPECT_EQ(m_control.m_sCount, 7);
    EXPECT_EQ(m_control.m_bFlag, FALSE);
    EXPECT_EQ(m_control.ExtentX(), 2646) << "a negative extent is no size";
    EXPECT_EQ(log->names, std::vector<std::string>{"Count"});
    // Missing properties are no error: they simply take their defaults.
    EXPECT_EQ(m_control.m_strCaption.Str(), "untitled");
}

TEST_F(Persistence, ADamagedStreamIsRefusedWholeAndLeavesTheControlAsItWas) {
    m_control.InitNew();
    m_control.m_strCaption = "kept";
    m_control.m_sCount = 11;
    const std::vector<BYTE> good = Saved(m_control);

    CTestCtrl target;
    target.m_strCaption = "before";
    const auto refused = [&](std::vector<BYTE> bytes) {
        const HRESULT hr = LoadBytes(target, std::move(bytes));
        EXPECT_EQ(target.m_strCaption.Str(), "before");
        return hr == STG_E_DOCFILECORRUPT || hr == STG_E_INVALIDHEADER || hr == STG_E_OLDDLL;
    };
    for (std::size_t n = 0; n < good.size(); ++n)
        EXPECT_TRUE(refused({good.begin(), good.begin() + std::ptrdiff_t(n)})) << "cut at " << n;
    for (std::size_t i = 0; i < good.size(); ++i)
        for (int bit = 0; bit < 8; ++bit) {
            std::vector<BYTE> flipped = good;
            flipped[i] ^= BYTE(1 << bit);
            EXPECT_TRUE(refused(flipped)) << "byte " << i << " bit " << bit;
        }
    EXPECT_EQ(
        LoadBytes(target, {'n', 'o', 't', ' ', 'a', ' ', 's', 't', 'a', 't', 'e', '!', 0, 0, 0, 0}),
        STG_E_INVALIDHEADER);
}

// A state whose checksum (the format's CRC-32) is right but whose contents
// are not: what a faulty or hostile writer would make.
std::vector<BYTE> WithChecksum(std::vector<BYTE> body) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (BYTE b : body) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    crc ^= 0xFFFFFFFFu;
    for (int i = 0; i < 4; ++i) body.push_back(BYTE(crc >> (8 * i)));
    return body;
}

std::vector<BYTE> Header(std::uint32_t count, std::uint32_t length, std::uint16_t version = 1) {
    return {'O',
            'C',
            'S',
            'T',
            BYTE(version),
            BYTE(version >> 8),
            0,
            0,
            BYTE(count),
            BYTE(count >> 8),
            BYTE(count >> 16),
            BYTE(count >> 24),
            BYTE(length),
            BYTE(length >> 8),
            BYTE(length >> 16),
            BYTE(length >> 24)};
}

TEST_F(Persistence, ContentsThatLieAboutThemselvesAreRefused) {
    const auto state = [](std::uint32_t count, std::vector<BYTE> payload) {
        std::vector<BYTE> bytes = Header(count, std::uint32_t(payload.size()));
        bytes.insert(bytes.end(), payload.begin(), payload.end());
        return WithChecksum(bytes);
    };
    const std::vector<BYTE> count1 = {5, 'C', 'o', 'u', 'n', 't', VT_I2, 0, 3, 0};
    StateProperties props;
    ASSERT_EQ(platform::ctl::DecodeState(state(1, count1), props), S_OK) << "the pattern is right";
    ASSERT_EQ(props.size(), 1u);

    const std::vector<std::pair<const char*, std::vector<BYTE>>> bad = {
        {"a string longer than what follows", {1, 'C', VT_BSTR, 0, 0xFF, 0xFF, 0, 0, 'x'}},
        {"a string beyond the bound", {1, 'C', VT_BSTR, 0, 0x01, 0x00, 0x01, 0x00}},
        {"a name that is not UTF-8", {2, 0xC3, 0x28, VT_I2, 0, 1, 0}},
        {"an empty name", {0, VT_I2, 0, 1, 0}},
        {"a truth value that is neither", {1, 'F', VT_BOOL, 0, 1, 0}},
        {"a type the form does not hold", {1, 'F', VT_R8, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto& [what, payload] : bad)
        EXPECT_EQ(platform::ctl::DecodeState(state(1, payload), props), STG_E_DOCFILECORRUPT)
            << what;
    std::vector<BYTE> twice = count1;
    twice.insert(twice.end(), count1.begin(), count1.end());
    twice[1] = 'c';
    EXPECT_EQ(platform::ctl::DecodeState(state(2, twice), props), STG_E_DOCFILECORRUPT)
        << "a name twice";
    EXPECT_EQ(platform::ctl::DecodeState(state(2, count1), props), STG_E_DOCFILECORRUPT)
        << "fewer properties than counted";
    EXPECT_EQ(platform::ctl::DecodeState(state(0, count1), props), STG_E_DOCFILECORRUPT)
        << "more bytes than the properties take";

    // Sizes beyond the bounds are refused before anything is read.
    auto stream = MemoryStream::Create(WithChecksum(Header(1, 0x7FFFFFFF)));
    EXPECT_EQ(platform::ctl::ReadState(stream.Get(), props), STG_E_DOCFILECORRUPT);
    stream = MemoryStream::Create(WithChecksum(Header(5000, 0)));
    EXPECT_EQ(platform::ctl::ReadState(stream.Get(), props), STG_E_DOCFILECORRUPT);
    stream = MemoryStream::Create(WithChecksum(Header(0, 0, 2)));
    EXPECT_EQ(platform::ctl::ReadState(stream.Get(), props), STG_E_OLDDLL) << "a newer format";
    EXPECT_EQ(props.size(), 1u) << "nothing refused was handed out";
}

TEST_F(Persistence, AStateIsReadExactlyFromAStreamThatHoldsMore) {
    m_control.InitNew();
    std::vector<BYTE> bytes = Saved(m_control);
    const std::size_t stateSize = bytes.size();
    bytes.insert(bytes.end(), {1, 2, 3});
    auto stream = MemoryStream::Create(bytes);
    CTestCtrl other;
    ASSERT_EQ(other.Load(static_cast<IStream*>(stream.Get())), S_OK);
    std::uint64_t position = 0;
    stream->Seek(0, STREAM_SEEK_CUR, &position);
    EXPECT_EQ(position, stateSize);
}

TEST_F(Persistence, TheDirtyFlagFollowsChangesAndSaves) {
    m_control.InitNew();
    EXPECT_EQ(m_control.IsDirty(), S_FALSE);
    m_control.SetModifiedFlag();
    EXPECT_EQ(m_control.IsDirty(), S_OK);
    Saved(m_control);
    EXPECT_EQ(m_control.IsDirty(), S_FALSE);
}

TEST(TextPropertyBag, MalformedTextIsRefusedWithWhereAndWhy) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"A=1\nno equals sign\n", "line 2: expected NAME=VALUE"},
        {"A=1\r\n# c\r\na=2\r\n", "line 3: 'a' appears twice (first on line 1)"},
        {"=1\n", "line 1: '' is not a property name"},
        {"#A=1\n x=1\n", "line 2: ' x' is not a property name"},
        {"A=\\q\n", "line 1: bad escape '\\q' in the value of 'A'"},
        {"A=\\x00\n", "line 1: bad escape '\\x00' in the value of 'A'"},
        {"A=ends\\", "line 1: bad escape '\\' in the value of 'A'"},
        {std::string("A=x\0y\n", 6), "line 1: holds a NUL character"},
        {"A=\xC3\x28\n", "line 1: is not UTF-8 text"},
        {std::string(platform::ctl::kMaxBagText + 1, '#'), "the text is larger than 1048576 bytes"},
    };
    for (const auto& [text, expected] : cases) {
        std::string error;
        EXPECT_FALSE(TextPropertyBag::Parse(text, error)) << expected;
        EXPECT_EQ(error, expected);
    }
    std::string error;
    auto bag = TextPropertyBag::Parse("\n  \n# only comments\nName=  spaced value  \n", error);
    ASSERT_TRUE(bag) << error;
    ASSERT_EQ(bag->Entries().size(), 1u);
    EXPECT_EQ(bag->Entries()[0].value, "  spaced value  ");
}

TEST(TextPropertyBag, ReadsConvertToTheTypeAskedForAndNamesIgnoreCase) {
    std::string error;
    auto bag = TextPropertyBag::Parse("Big=70000\nText=hi\n", error);
    ASSERT_TRUE(bag);
    platform::com::Variant v;
    v.Raw().vt = VT_I4;
    EXPECT_EQ(bag->Read(u"big", v.Ptr(), nullptr), S_OK);
    EXPECT_EQ(v.Raw().lVal, 70000);
    platform::com::Variant small;
    small.Raw().vt = VT_I2;
    EXPECT_EQ(bag->Read(u"Big", small.Ptr(), nullptr), DISP_E_OVERFLOW);
    platform::com::Variant missing;
    EXPECT_EQ(bag->Read(u"Nothing", missing.Ptr(), nullptr), HRESULT(E_INVALIDARG));
    EXPECT_EQ(bag->Requests(), (std::vector<std::string>{"big", "Big", "Nothing"}));
    // Names the text form could not keep are refused when written.
    auto value = platform::com::Variant::I4(1);
    for (const char16_t* name : {u"a=b", u"#x", u"", u"new\nline"})
        EXPECT_EQ(bag->Write(name, value.Ptr()), HRESULT(E_INVALIDARG));
}

}  // namespace
}  // namespace ostrel::test
