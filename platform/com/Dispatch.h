#pragma once
// Late binding: the dispatch interface through which automation clients call
// members by name or identifier, and the interface that hands out an object's
// class description.

#include "platform/com/Unknown.h"
#include "platform/com/Variant.h"

struct ITypeInfo;

struct IDispatch : IUnknown {
    static constexpr IID kIid = platform::com::MakeGuid("{00020400-0000-0000-C000-000000000046}");
    using Base = IUnknown;

    virtual HRESULT GetTypeInfoCount(UINT* pctinfo) = 0;
    virtual HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
    virtual HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                  DISPID* rgDispId) = 0;
    virtual HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                           DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                           UINT* puArgErr) = 0;

protected:
    ~IDispatch() = default;
};
using LPDISPATCH = IDispatch*;
inline constexpr IID IID_IDispatch = IDispatch::kIid;

struct IProvideClassInfo : IUnknown {
    static constexpr IID kIid = platform::com::MakeGuid("{B196B283-BAB4-101A-B69C-00AA00341D07}");
    using Base = IUnknown;

    // The description of the object's class (its coclass).
    virtual HRESULT GetClassInfo(ITypeInfo** ppTI) = 0;

protected:
    ~IProvideClassInfo() = default;
};
inline constexpr IID IID_IProvideClassInfo = IProvideClassInfo::kIid;
