#pragma once
// Outgoing interfaces: an object offers a connection point per interface it
// calls out through (its events), and clients attach sinks to it.

#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "platform/com/Unknown.h"

struct IConnectionPointContainer;

struct CONNECTDATA {
    IUnknown* pUnk;
    DWORD dwCookie;
};

struct IEnumConnections : IUnknown {
    static constexpr IID kIid = platform::com::MakeGuid("{B196B287-BAB4-101A-B69C-00AA00341D07}");
    using Base = IUnknown;
    // Each connection handed out holds a reference to its sink for the caller.
    virtual HRESULT Next(ULONG cConnections, CONNECTDATA* rgcd, ULONG* pcFetched) = 0;
    virtual HRESULT Skip(ULONG cConnections) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumConnections** ppEnum) = 0;

protected:
    ~IEnumConnections() = default;
};

struct IConnectionPoint : IUnknown {
    static constexpr IID kIid = platform::com::MakeGuid("{B196B286-BAB4-101A-B69C-00AA00341D07}");
    using Base = IUnknown;
    virtual HRESULT GetConnectionInterface(IID* pIID) = 0;
    virtual HRESULT GetConnectionPointContainer(IConnectionPointContainer** ppCPC) = 0;
    // Attaches a sink; the cookie (never 0) identifies the connection.
    virtual HRESULT Advise(IUnknown* pUnkSink, DWORD* pdwCookie) = 0;
    // CONNECT_E_NOCONNECTION for a cookie of no current connection.
    virtual HRESULT Unadvise(DWORD dwCookie) = 0;
    virtual HRESULT EnumConnections(IEnumConnections** ppEnum) = 0;

protected:
    ~IConnectionPoint() = default;
};

struct IEnumConnectionPoints : IUnknown {
    static constexpr IID kIid = platform::com::MakeGuid("{B196B285-BAB4-101A-B69C-00AA00341D07}");
    using Base = IUnknown;
    virtual HRESULT Next(ULONG cConnections, IConnectionPoint** ppCP, ULONG* pcFetched) = 0;
    virtual HRESULT Skip(ULONG cConnections) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumConnectionPoints** ppEnum) = 0;

protected:
    ~IEnumConnectionPoints() = default;
};

struct IConnectionPointContainer : IUnknown {
    static constexpr IID kIid = platform::com::MakeGuid("{B196B284-BAB4-101A-B69C-00AA00341D07}");
    using Base = IUnknown;
    virtual HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) = 0;
    // CONNECT_E_NOCONNECTION when the object has no point for the interface.
    virtual HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) = 0;

protected:
    ~IConnectionPointContainer() = default;
};

inline constexpr IID IID_IConnectionPointContainer = IConnectionPointContainer::kIid;
inline constexpr IID IID_IConnectionPoint = IConnectionPoint::kIid;

namespace platform::com {

// One connection point: the sinks attached for one outgoing interface. It
// lives inside the object that offers it and shares that object's reference
// count, so handing it out keeps the object alive.
class ConnectionPoint final : public IConnectionPoint {
public:
    ConnectionPoint(IConnectionPointContainer& container, REFIID iid);
    ~ConnectionPoint();
    ConnectionPoint(const ConnectionPoint&) = delete;
    ConnectionPoint& operator=(const ConnectionPoint&) = delete;

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;
    HRESULT GetConnectionInterface(IID* pIID) override;
    HRESULT GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
    HRESULT Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
    HRESULT Unadvise(DWORD dwCookie) override;
    HRESULT EnumConnections(IEnumConnections** ppEnum) override;

    const IID& Iid() const { return m_iid; }
    // The sinks attached now, each with a reference of its own.
    std::vector<ComPtr<IUnknown>> Sinks() const;

private:
    IConnectionPointContainer& m_container;
    IID m_iid;
    mutable std::mutex m_mutex;
    DWORD m_nextCookie = 1;
    std::vector<CONNECTDATA> m_connections;
};

// The connection points of an object, one per outgoing interface; the object
// answers IConnectionPointContainer by forwarding to it.
class ConnectionPoints {
public:
    ConnectionPoints(IConnectionPointContainer& container, std::span<const IID> iids);
    HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum);
    HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP);
    ConnectionPoint* Find(REFIID riid) const;
    bool Empty() const { return m_points.empty(); }

private:
    IConnectionPointContainer& m_container;
    std::vector<std::unique_ptr<ConnectionPoint>> m_points;
};

}  // namespace platform::com
