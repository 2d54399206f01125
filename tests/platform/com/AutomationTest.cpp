#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/com/Automation.h"
#include "platform/com/TypeLibRegistry.h"
#include "tests/platform/com/ComTestSupport.h"
#include "tests/platform/com/SampleTypeLib.h"
#include "tests/support/TestSupport.h"

namespace ostrel::test {
namespace {

class Empty {
public:
    static const platform::com::DispatchTable& Table() {
        static constexpr platform::com::DispatchEntry kEntries[] = {
            DISP_FUNCTION(Empty, "Ping", Ping, VT_I4, VTS_NONE),
        };
        static constexpr auto kTable = platform::com::MakeDispatchTable<Empty>(kEntries);
        return kTable;
    }
    long Ping() { return 1; }
};

inline constexpr IID kEvents = platform::com::MakeGuid("{5A3F1E23-7C4B-4D8E-9F10-2B3C4D5E6F70}");

class Automation : public ::testing::Test {
protected:
    void SetUp() override { m_live = platform::com::LiveObjects(); }
    void TearDown() override { EXPECT_EQ(platform::com::LiveObjects(), m_live); }

    ComPtr<IDispatch> Create(bool withClass, std::vector<IID> sources, bool withTypes = true) {
        platform::com::AutomationOptions options;
        options.table = &Empty::Table();
        options.object = platform::com::MakeDispatchObject(m_target);
        options.dispatchIid = kSampleDispatchIid;
        if (withClass) options.clsid = kSampleClsid;
        options.sourceIids = std::move(sources);
        if (withTypes)
            options.getTypeLib = [](LCID lcid, ITypeLib** pp) {
                return LoadRegTypeLib(kSampleLibId, 2, 3, lcid, pp);
            };
        ComPtr<IDispatch> disp;
        EXPECT_EQ(platform::com::CreateAutomationObject(std::move(options), IID_IDispatch,
                                                        disp.PutVoid()),
                  S_OK);
        return disp;
    }

    Empty m_target;
    long m_live = 0;
};

TEST_F(Automation, AnswersForItsInterfacesWithOneIdentity) {
    ComPtr<IDispatch> disp = Create(true, {kEvents});
    ComPtr<IUnknown> a = disp.As<IUnknown>();
    ComPtr<IDispatch> viaDispinterface;
    ASSERT_EQ(disp->QueryInterface(kSampleDispatchIid, viaDispinterface.PutVoid()), S_OK);
    EXPECT_EQ(viaDispinterface.Get(), disp.Get());
    ComPtr<IProvideClassInfo> classInfo = disp.As<IProvideClassInfo>();
    ASSERT_TRUE(classInfo);
    EXPECT_EQ(classInfo.As<IUnknown>().Get(), a.Get());
    EXPECT_TRUE(disp.As<IConnectionPointContainer>());
    EXPECT_FALSE(disp.As<ITypeLib>());
    void* out = &out;
    EXPECT_EQ(disp->QueryInterface(IID_ITypeLib, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);

    // Without a class or outgoing interfaces those interfaces are not offered.
    ComPtr<IDispatch> plain = Create(false, {});
    EXPECT_FALSE(plain.As<IProvideClassInfo>());
    EXPECT_FALSE(plain.As<IConnectionPointContainer>());
}

TEST_F(Automation, TypeInformationComesFromTheRegisteredLibrary) {
    ComPtr<IDispatch> disp = Create(true, {});
    UINT count = 0;
    EXPECT_EQ(disp->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(disp->GetTypeInfo(0, 0x0409, info.Put()), TYPE_E_LIBNOTREGISTERED);

    const std::vector<BYTE> image = platform::com::typelib::Write(SampleLibrary());
    platform::com::ScopedTypeLibRegistration registration(image);
    ASSERT_EQ(disp->GetTypeInfo(0, 0x0409, info.Put()), S_OK);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, kSampleDispatchIid);
    info->ReleaseTypeAttr(attr);
    EXPECT_EQ(disp->GetTypeInfo(1, 0x0409, info.Put()), DISP_E_BADINDEX);

    ASSERT_EQ(disp.As<IProvideClassInfo>()->GetClassInfo(info.Put()), S_OK);
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, kSampleClsid);
    EXPECT_EQ(attr->typekind, TKIND_COCLASS);
    info->ReleaseTypeAttr(attr);

    ComPtr<IDispatch> untyped = Create(false, {}, false);
    EXPECT_EQ(untyped->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(untyped->GetTypeInfo(0, 0x0409, info.Put()), DISP_E_BADINDEX);
}

TEST_F(Automation, TypeInformationIsLookedUpThroughTheCache) {
    const std::vector<BYTE> image = platform::com::typelib::Write(SampleLibrary());
    CTypeLibCache cache(kSampleLibId);
    int loads = 0;
    auto getTypeLib = [&](LCID lcid, ITypeLib** pp) {
        ++loads;
        if (lcid != 0x0409) return TYPE_E_LIBNOTREGISTERED;
        return platform::com::LoadTypeLibFromImage(image, pp);
    };
    for (int i = 0; i < 3; ++i) {
        ComPtr<ITypeInfo> info;
        EXPECT_EQ(platform::com::GetCachedTypeInfoOfGuid(&cache, 0x0409, kSampleClsid, getTypeLib,
                                                         info.Put()),
                  S_OK);
    }
    EXPECT_EQ(loads, 1);
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(platform::com::GetCachedTypeInfoOfGuid(&cache, 0x0409, kSampleDispatchIid, getTypeLib,
                                                     info.Put()),
              S_OK);
    EXPECT_EQ(loads, 1);  // the library itself stays cached
    EXPECT_EQ(platform::com::GetCachedTypeInfoOfGuid(&cache, 0x0407, kSampleClsid, getTypeLib,
                                                     info.Put()),
              TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(
        platform::com::GetCachedTypeInfoOfGuid(&cache, 0x0409, kEvents, getTypeLib, info.Put()),
        TYPE_E_ELEMENTNOTFOUND);
    info.Reset();
    cache.Clear();
}

TEST_F(Automation, SinksAttachAndDetachByCookie) {
    ComPtr<IDispatch> disp = Create(false, {kEvents});
    ComPtr<IConnectionPointContainer> container = disp.As<IConnectionPointContainer>();
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(container->FindConnectionPoint(kSampleDispatchIid, point.Put()),
              CONNECT_E_NOCONNECTION);
    ASSERT_EQ(container->FindConnectionPoint(kEvents, point.Put()), S_OK);
    IID iid{};
    EXPECT_EQ(point->GetConnectionInterface(&iid), S_OK);
    EXPECT_EQ(iid, kEvents);
    ComPtr<IConnectionPointContainer> back;
    EXPECT_EQ(point->GetConnectionPointContainer(back.Put()), S_OK);
    EXPECT_EQ(back.Get(), container.Get());

    auto sink1 = CountingSink::Create(), sink2 = CountingSink::Create();
    DWORD c1 = 0, c2 = 0;
    ASSERT_EQ(point->Advise(static_cast<IDispatch*>(sink1.Get()), &c1), S_OK);
    ASSERT_EQ(point->Advise(static_cast<IDispatch*>(sink2.Get()), &c2), S_OK);
    EXPECT_NE(c1, 0u);
    EXPECT_NE(c1, c2);

    ComPtr<IEnumConnections> connections;
    ASSERT_EQ(point->EnumConnections(connections.Put()), S_OK);
    CONNECTDATA data[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(connections->Next(3, data, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(data[0].dwCookie, c1);
    EXPECT_EQ(data[1].dwCookie, c2);
    data[0].pUnk->Release();
    data[1].pUnk->Release();

    EXPECT_EQ(point->Unadvise(c1), S_OK);
    EXPECT_EQ(point->Unadvise(c1), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(point->Unadvise(0), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(point->Unadvise(c2 + 100), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(point->Advise(nullptr, &c1), E_POINTER);
    EXPECT_EQ(point->Advise(static_cast<IDispatch*>(sink1.Get()), nullptr), E_POINTER);

    // Nothing calls the sinks: attaching, listing and detaching are all.
    EXPECT_EQ(sink1->calls, 0);
    EXPECT_EQ(sink2->calls, 0);
}

TEST_F(Automation, ASinkWithoutTheInterfaceCannotConnect) {
    struct Bare final : platform::com::ComObject<IProvideClassInfo> {
        HRESULT GetClassInfo(ITypeInfo**) override { return E_NOTIMPL; }
    };
    ComPtr<IDispatch> disp = Create(false, {kEvents});
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(disp.As<IConnectionPointContainer>()->FindConnectionPoint(kEvents, point.Put()),
              S_OK);
    auto bare = ComPtr<Bare>::Attach(new Bare);
    DWORD cookie = 7;
    EXPECT_EQ(point->Advise(bare.Get(), &cookie), CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(cookie, 0u);
}

TEST_F(Automation, AConnectionPointKeepsItsObjectAndTheObjectItsSinks) {
    auto sink = CountingSink::Create();
    ComPtr<IConnectionPoint> point;
    ComPtr<IEnumConnectionPoints> points;
    {
        ComPtr<IDispatch> disp = Create(false, {kEvents});
        ComPtr<IConnectionPointContainer> container = disp.As<IConnectionPointContainer>();
        ASSERT_EQ(container->EnumConnectionPoints(points.Put()), S_OK);
        ASSERT_EQ(container->FindConnectionPoint(kEvents, point.Put()), S_OK);
        DWORD cookie = 0;
        ASSERT_EQ(point->Advise(static_cast<IDispatch*>(sink.Get()), &cookie), S_OK);
    }
    // The object lives on through its connection point and its enumerator.
    IID iid{};
    EXPECT_EQ(point->GetConnectionInterface(&iid), S_OK);
    ComPtr<IConnectionPoint> listed;
    ULONG fetched = 0;
    EXPECT_EQ(points->Next(1, listed.Put(), &fetched), S_OK);
    EXPECT_EQ(listed.Get(), point.Get());
    EXPECT_EQ(points->Next(1, listed.Put(), &fetched), S_FALSE);
    listed.Reset();
    points.Reset();
    const long withObject = platform::com::LiveObjects();
    point.Reset();
    // Gone with the object: the sink's reference is given back.
    EXPECT_EQ(platform::com::LiveObjects(), withObject - 1);
    EXPECT_EQ(sink->AddRef(), 2u);
    sink->Release();
    EXPECT_EQ(sink->calls, 0);
}

}  // namespace
}  // namespace ostrel::test
