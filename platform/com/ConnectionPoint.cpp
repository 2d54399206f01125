#include "platform/com/ConnectionPoint.h"

#include <algorithm>

#include "platform/com/Dispatch.h"
#include "platform/win/Failure.h"

namespace platform::com {
namespace {

class EnumConnections final : public ComObject<IEnumConnections> {
public:
    EnumConnections(std::vector<CONNECTDATA> items, std::size_t at)
        : m_items(std::move(items)), m_at(at) {
        for (auto& c : m_items) c.pUnk->AddRef();
    }
    ~EnumConnections() override {
        for (auto& c : m_items) c.pUnk->Release();
    }
    HRESULT Next(ULONG n, CONNECTDATA* out, ULONG* fetched) override {
        if (out == nullptr || (n > 1 && fetched == nullptr)) return E_POINTER;
        ULONG k = 0;
        for (; k < n && m_at < m_items.size(); ++k, ++m_at) {
            out[k] = m_items[m_at];
            out[k].pUnk->AddRef();
        }
        if (fetched != nullptr) *fetched = k;
        return k == n ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG n) override {
        const std::size_t left = m_items.size() - m_at;
        m_at += std::min<std::size_t>(n, left);
        return n <= left ? S_OK : S_FALSE;
    }
    HRESULT Reset() override {
        m_at = 0;
        return S_OK;
    }
    HRESULT Clone(IEnumConnections** pp) override {
        if (pp == nullptr) return E_POINTER;
        try {
            *pp = new EnumConnections(m_items, m_at);
            return S_OK;
        } catch (...) {
            *pp = nullptr;
            return HRESULT(E_OUTOFMEMORY);
        }
    }

private:
    std::vector<CONNECTDATA> m_items;
    std::size_t m_at;
};

class EnumConnectionPoints final : public ComObject<IEnumConnectionPoints> {
public:
    // Holds the container, which keeps the points alive.
    EnumConnectionPoints(IConnectionPointContainer& container, std::vector<IConnectionPoint*> items,
                         std::size_t at)
        : m_container(ComPtr<IConnectionPointContainer>::Share(&container)),
          m_items(std::move(items)),
          m_at(at) {}
    HRESULT Next(ULONG n, IConnectionPoint** out, ULONG* fetched) override {
        if (out == nullptr || (n > 1 && fetched == nullptr)) return E_POINTER;
        ULONG k = 0;
        for (; k < n && m_at < m_items.size(); ++k, ++m_at) {
            out[k] = m_items[m_at];
            out[k]->AddRef();
        }
        if (fetched != nullptr) *fetched = k;
        return k == n ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG n) override {
        const std::size_t left = m_items.size() - m_at;
        m_at += std::min<std::size_t>(n, left);
        return n <= left ? S_OK : S_FALSE;
    }
    HRESULT Reset() override {
        m_at = 0;
        return S_OK;
    }
    HRESULT Clone(IEnumConnectionPoints** pp) override {
        if (pp == nullptr) return E_POINTER;
        try {
            *pp = new EnumConnectionPoints(*m_container.Get(), m_items, m_at);
            return S_OK;
        } catch (...) {
            *pp = nullptr;
            return HRESULT(E_OUTOFMEMORY);
        }
    }

private:
    ComPtr<IConnectionPointContainer> m_container;
    std::vector<IConnectionPoint*> m_items;
    std::size_t m_at;
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
        std::lock_guard lock(m_mutex);
        *ppEnum = new platform::com::EnumConnections(m_connections, 0);
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
            *ppEnum = new platform::com::EnumConnectionPoints(m_container, std::move(items), 0);
            return S_OK;
        });
}

}  // namespace platform::com
