#include "platform/com/ConnectionPoint.h"

#include <algorithm>
#include <string_view>

#include "platform/com/Dispatch.h"
#include "platform/com/Enumerator.h"
#include "platform/win/Failure.h"

namespace platform::com {
namespace {

// A connection as the enumerator keeps it: the sink held for its own life.
struct HeldConnection {
    ComPtr<IUnknown> sink;
    DWORD cookie;
};

struct ConnectionItems {
    using Interface = IEnumConnections;
    using Element = CONNECTDATA;
    using Item = HeldConnection;
    static constexpr std::string_view kClone = "IEnumConnections::Clone";
    static bool HandOut(const Item& item, Element& out) {
        out = {item.sink.Get(), item.cookie};
        out.pUnk->AddRef();
        return true;
    }
    static void TakeBack(Element& out) { out.pUnk->Release(); }
};

// The points live inside their container, which the enumerator holds.
struct ConnectionPointItems {
    using Interface = IEnumConnectionPoints;
    using Element = IConnectionPoint*;
    using Item = IConnectionPoint*;
    static constexpr std::string_view kClone = "IEnumConnectionPoints::Clone";
    static bool HandOut(const Item& item, Element& out) {
        out = item;
        out->AddRef();
        return true;
    }
    static void TakeBack(Element& out) { out->Release(); }
};

}  // namespace

ConnectionPoint::ConnectionPoint(IConnectionPointContainer& container, REFIID iid)
    : m_container(container), m_iid(iid) {}

ConnectionPoint::~ConnectionPoint() {
    for (auto& c : m_connections) c.pUnk->Release();
}

HRESULT ConnectionPoint::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IConnectionPoint) return E_NOINTERFACE;
    AddRef();
    *ppv = static_cast<IConnectionPoint*>(this);
    return S_OK;
}

ULONG ConnectionPoint::AddRef() {
    return m_container.AddRef();
}
ULONG ConnectionPoint::Release() {
    return m_container.Release();
}

HRESULT ConnectionPoint::GetConnectionInterface(IID* pIID) {
    if (pIID == nullptr) return E_POINTER;
    *pIID = m_iid;
    return S_OK;
}

HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) {
    if (ppCPC == nullptr) return E_POINTER;
    m_container.AddRef();
    *ppCPC = &m_container;
    return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
    if (pdwCookie == nullptr) return E_POINTER;
    *pdwCookie = 0;
    if (pUnkSink == nullptr) return E_POINTER;
    // Sinks of a dispatch interface often answer only IDispatch: they are
    // called through it either way.
    void* sink = nullptr;
    if (FAILED(pUnkSink->QueryInterface(m_iid, &sink)) &&
        FAILED(pUnkSink->QueryInterface(IID_IDispatch, &sink)))
        return CONNECT_E_CANNOTCONNECT;
    try {
        std::lock_guard lock(m_mutex);
        const DWORD cookie = m_nextCookie++;
        if (m_nextCookie == 0) m_nextCookie = 1;
        m_connections.push_back({static_cast<IUnknown*>(sink), cookie});
        *pdwCookie = cookie;
        return S_OK;
    } catch (...) {
        static_cast<IUnknown*>(sink)->Release();
        return HRESULT(E_OUTOFMEMORY);
    }
}

HRESULT ConnectionPoint::Unadvise(DWORD dwCookie) {
    IUnknown* sink = nullptr;
    {
        std::lock_guard lock(m_mutex);
        auto it = std::find_if(m_connections.begin(), m_connections.end(),
                               [&](const CONNECTDATA& c) { return c.dwCookie == dwCookie; });
        if (dwCookie == 0 || it == m_connections.end()) return CONNECT_E_NOCONNECTION;
        sink = it->pUnk;
        m_connections.erase(it);
    }
    // Released outside the lock: the sink may call back.
    sink->Release();
    return S_OK;
}

HRESULT ConnectionPoint::EnumConnections(IEnumConnections** ppEnum) {
    if (ppEnum == nullptr) return E_POINTER;
    *ppEnum = nullptr;
    return platform::RunGuardedHr("IConnectionPoint::EnumConnections", [&]() -> HRESULT {
        std::vector<HeldConnection> items;
        {
            std::lock_guard lock(m_mutex);
            for (const auto& c : m_connections)
                items.push_back({ComPtr<IUnknown>::Share(c.pUnk), c.dwCookie});
        }
        *ppEnum = Enumerator<ConnectionItems>::Create(std::move(items)).Detach();
        return S_OK;
    });
}

std::vector<ComPtr<IUnknown>> ConnectionPoint::Sinks() const {
    std::lock_guard lock(m_mutex);
    std::vector<ComPtr<IUnknown>> sinks;
    for (const auto& c : m_connections) sinks.push_back(ComPtr<IUnknown>::Share(c.pUnk));
    return sinks;
}

ConnectionPoints::ConnectionPoints(IConnectionPointContainer& container, std::span<const IID> iids)
    : m_container(container) {
    for (const auto& iid : iids)
        m_points.push_back(std::make_unique<ConnectionPoint>(container, iid));
}

ConnectionPoint* ConnectionPoints::Find(REFIID riid) const {
    for (const auto& p : m_points)
        if (p->Iid() == riid) return p.get();
    return nullptr;
}

HRESULT ConnectionPoints::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
    if (ppCP == nullptr) return E_POINTER;
    *ppCP = nullptr;
    ConnectionPoint* point = Find(riid);
    if (point == nullptr) return CONNECT_E_NOCONNECTION;
    point->AddRef();
    *ppCP = point;
    return S_OK;
}

HRESULT ConnectionPoints::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
    if (ppEnum == nullptr) return E_POINTER;
    *ppEnum = nullptr;
    return platform::RunGuardedHr(
        "IConnectionPointContainer::EnumConnectionPoints", [&]() -> HRESULT {
            std::vector<IConnectionPoint*> items;
            for (const auto& p : m_points) items.push_back(p.get());
            *ppEnum = Enumerator<ConnectionPointItems>::Create(
                          std::move(items), ComPtr<IUnknown>::Share(&m_container))
                          .Detach();
            return S_OK;
        });
}

}  // namespace platform::com
