#include "platform/com/Automation.h"

#include "platform/seams/Seams.h"
#include "platform/win/Failure.h"

namespace platform::com {
namespace {

class AutomationObject final
    : public ComObject<IDispatch, IProvideClassInfo, IConnectionPointContainer> {
public:
    explicit AutomationObject(AutomationOptions options)
        : m_options(std::move(options)),
          m_state(m_options.moduleState != nullptr ? m_options.moduleState : AfxGetModuleState()),
          m_points(*this, m_options.sourceIids) {}

    HRESULT GetTypeInfoCount(UINT* pctinfo) override {
        if (pctinfo == nullptr) return E_POINTER;
        *pctinfo = m_options.getTypeLib ? 1 : 0;
        return S_OK;
    }

    HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override {
        if (ppTInfo == nullptr) return E_POINTER;
        *ppTInfo = nullptr;
        if (iTInfo != 0 || !m_options.getTypeLib) return DISP_E_BADINDEX;
        return TypeInfoOf(lcid, m_options.dispatchIid, ppTInfo);
    }

    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID,
                          DISPID* rgDispId) override {
        AFX_MANAGE_STATE(m_state);
        return GetIDsOfNamesFromTable(*m_options.table, riid, rgszNames, cNames, rgDispId);
    }

    HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags, DISPPARAMS* pDispParams,
                   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override {
        AFX_MANAGE_STATE(m_state);
        // The caller may release this object from inside the call.
        ComPtr<IDispatch> self = ComPtr<IDispatch>::Share(this);
        return InvokeFromTable(*m_options.table, m_options.object, dispIdMember, riid, wFlags,
                               pDispParams, pVarResult, pExcepInfo, puArgErr);
    }

    HRESULT GetClassInfo(ITypeInfo** ppTI) override {
        if (ppTI == nullptr) return E_POINTER;
        *ppTI = nullptr;
        if (!m_options.getTypeLib) return E_NOTIMPL;
        return TypeInfoOf(LOCALE_NEUTRAL, m_options.clsid, ppTI);
    }

    HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override {
        return m_points.EnumConnectionPoints(ppEnum);
    }

    HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override {
        return m_points.FindConnectionPoint(riid, ppCP);
    }

protected:
    void* FindInterface(REFIID riid) override {
        if (riid == m_options.dispatchIid && riid != IID_NULL) return static_cast<IDispatch*>(this);
        if (riid == IID_IProvideClassInfo && m_options.clsid == GUID_NULL) return nullptr;
        if (riid == IID_IConnectionPointContainer && m_points.Empty()) return nullptr;
        return ComObject::FindInterface(riid);
    }

private:
    HRESULT TypeInfoOf(LCID lcid, REFGUID guid, ITypeInfo** pp) {
        return platform::RunGuardedHr("AutomationObject::TypeInfoOf", [&]() -> HRESULT {
            CTypeLibCache* cache =
                m_options.getTypeLibCache ? m_options.getTypeLibCache() : nullptr;
            AFX_MANAGE_STATE(m_state);
            return GetCachedTypeInfoOfGuid(cache, lcid, guid, m_options.getTypeLib, pp);
        });
    }

    AutomationOptions m_options;
    AFX_MODULE_STATE* m_state;
    ConnectionPoints m_points;
};

}  // namespace

HRESULT CreateAutomationObject(AutomationOptions options, REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    return platform::GuardedHr("CreateAutomationObject", [&]() -> HRESULT {
        if (options.table == nullptr) return HRESULT(E_INVALIDARG);
        ComPtr<IDispatch> object =
            ComPtr<IDispatch>::Attach(new AutomationObject(std::move(options)));
        return object->QueryInterface(riid, ppv);
    });
}

}  // namespace platform::com
