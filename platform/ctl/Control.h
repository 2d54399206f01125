#pragma once
// The framework's control: an object of the object model that hosts create,
// call through automation, save and load, draw, and offer verbs and property
// pages for. A control class derives from COleControl, names its dispatch
// and event interfaces with InitializeIIDs in its constructor, and overrides
// what it does differently:
//
//   class CMyCtrl : public COleControl {
//       DECLARE_DYNCREATE(CMyCtrl)
//   public:
//       CMyCtrl() { InitializeIIDs(&IID_DMy, &IID_DMyEvents); }
//       void OnDraw(CDC* pdc, const CRect& rcBounds, const CRect& rcInvalid) override;
//       void DoPropExchange(CPropExchange* pPX) override;
//       HRESULT GetClassID(LPCLSID pClassID) override;
//       ...
//       DECLARE_MESSAGE_MAP()     // ON_OLEVERB entries: the control's verbs
//       DECLARE_EVENT_MAP()
//   };
//
// Every interface call from a host makes the control's module state current
// for its duration, and nothing thrown inside reaches the host.

#include <bit>
#include <memory>

#include "platform/com/ConnectionPoint.h"
#include "platform/com/DispatchTable.h"
#include "platform/com/ModuleState.h"
#include "platform/com/TypeInfo.h"
#include "platform/ctl/OleInterfaces.h"
#include "platform/ctl/PropExchange.h"
#include "platform/ctl/RuntimeClass.h"
#include "platform/ui/DeviceContext.h"
#include "platform/ui/Wnd.h"

using LPCLSID = CLSID*;

// The framework's own string: the display name of the Properties verb.
inline constexpr UINT AFX_IDS_VERB_PROPERTIES = 0xFE41;

// ---------------------------------------------------------------------------
// Verbs in a control's message map.

// The message of a verb entry, and the signature of its handler.
inline constexpr UINT WM_AFX_OLEVERB = 0xC002;
inline constexpr UINT AfxSig_verb = 0x100;

class COleControl;
using AFX_PVERB = BOOL (COleControl::*)(LPMSG lpMsg, HWND hWndParent, LPCRECT lpRect);

// A verb whose display name is string `idsVerbName`; the handler is a member
// BOOL (LPMSG, HWND, LPCRECT). Verbs are numbered from 0 in the order of the
// map, the derived class's entries first.
#define ON_OLEVERB(idsVerbName, memberFxn) \
    {WM_AFX_OLEVERB,                       \
     0,                                    \
     static_cast<UINT>(idsVerbName),       \
     static_cast<UINT>(idsVerbName),       \
     AfxSig_verb,                          \
     std::bit_cast<AFX_PMSG>(static_cast<AFX_PVERB>(&ThisClass::memberFxn))},

// ---------------------------------------------------------------------------
// Event maps: the events a control declares for its event interface.

struct AFX_EVENTMAP_ENTRY {
    LPCSTR pszName;  // null: the end of the table
    DISPID dispid;
    LPCSTR pvtParams;  // VTS_ bytes
};

struct AFX_EVENTMAP {
    const AFX_EVENTMAP* (*pfnGetBaseMap)();
    const AFX_EVENTMAP_ENTRY* lpEntries;
};

#define DECLARE_EVENT_MAP()                       \
protected:                                        \
    static const AFX_EVENTMAP* GetThisEventMap(); \
    const AFX_EVENTMAP* GetEventMap() const override;

#define BEGIN_EVENT_MAP(theClass, baseClass)            \
    const AFX_EVENTMAP* theClass::GetEventMap() const { \
        return GetThisEventMap();                       \
    }                                                   \
    const AFX_EVENTMAP* theClass::GetThisEventMap() {   \
        using TheBaseEventClass = baseClass;            \
        static constexpr AFX_EVENTMAP_ENTRY kEventEntries[] = {
#define EVENT_CUSTOM(pszName, pvtParams) {pszName, DISPID_UNKNOWN, pvtParams},
#define EVENT_CUSTOM_ID(pszName, dispid, pvtParams) {pszName, dispid, pvtParams},
#define END_EVENT_MAP()                                                             \
    { nullptr, DISPID_UNKNOWN, nullptr }                                            \
    }                                                                               \
    ;                                                                               \
    static constexpr AFX_EVENTMAP kEventMap = {&TheBaseEventClass::GetThisEventMap, \
                                               &kEventEntries[0]};                  \
    return &kEventMap;                                                              \
    }

// ---------------------------------------------------------------------------

class COleControl
    : public CWnd,
      public platform::com::ComObject<IDispatch, IProvideClassInfo, IConnectionPointContainer,
                                      IOleObject, IViewObject, IDataObject, IPersistStreamInit,
                                      IPersistPropertyBag, ISpecifyPropertyPages> {
    DECLARE_DYNAMIC_ROOT(COleControl)

public:
    COleControl();
    ~COleControl() override;

    // The control's identity: its IUnknown, without a reference of its own.
    IUnknown* GetControllingUnknown();

    // --- What a control overrides.

    // Draws the control into the bounds; the base draws nothing.
    virtual void OnDraw(CDC* pdc, const CRect& rcBounds, const CRect& rcInvalid);
    // Its persistent properties; the base exchanges the extent ("_ExtentX",
    // "_ExtentY") and the stock-property mask ("_StockProps").
    virtual void DoPropExchange(CPropExchange* pPX);
    // Every property back to its default, as DoPropExchange gives them.
    virtual void OnResetState();
    // The Properties verb: the property frame with the control's pages.
    virtual BOOL OnProperties(LPMSG lpMsg, HWND hWndParent, LPCRECT lpRect);
    // The control's property pages; the base has none.
    virtual LPCLSID GetPropPageIDs(ULONG& cPropPages);
    // The string resource of the control's user type name; 0: none.
    virtual UINT GetUserTypeNameID();
    // OLEMISC_ flags; the base reports none.
    virtual DWORD GetMiscStatus();
    // The control's class (also the persistence interfaces' GetClassID).
    HRESULT GetClassID(LPCLSID pClassID) override = 0;
    // Type information for automation: how many descriptions (0 or 1), the
    // library that holds them and the module's cache for it.
    virtual UINT GetTypeInfoCount();
    virtual HRESULT GetTypeLib(LCID lcid, LPTYPELIB* ppTypeLib);
    virtual CTypeLibCache* GetTypeLibCache();
    // The members automation reaches; the base table is the command
    // target's, which is empty.
    virtual const platform::com::DispatchTable* GetDispatchMap() const;

    // --- What a control calls.

    BOOL ExchangeVersion(CPropExchange* pPX, DWORD dwVersionDefault, BOOL bConvert = TRUE);
    BOOL ExchangeExtent(CPropExchange* pPX);
    void ExchangeStockProps(CPropExchange* pPX);
    void SetModifiedFlag(BOOL bModified = TRUE);
    BOOL IsModified() const;
    // The user type name, from the string GetUserTypeNameID names.
    CString GetUserTypeName();

    // --- IDispatch
    HRESULT GetTypeInfoCount(UINT* pctinfo) override;
    HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                          DISPID* rgDispId) override;
    HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                   DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                   UINT* puArgErr) override;
    // --- IProvideClassInfo
    HRESULT GetClassInfo(ITypeInfo** ppTI) override;
    // --- IConnectionPointContainer
    HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;
    // --- IOleObject
    HRESULT DoVerb(LONG iVerb, LPMSG lpmsg, HWND hwndParent, LPCRECT lprcPosRect) override;
    HRESULT EnumVerbs(IEnumOLEVERB** ppEnumOleVerb) override;
    HRESULT GetUserClassID(CLSID* pClsid) override;
    HRESULT GetUserType(DWORD dwFormOfType, LPOLESTR* pszUserType) override;
    HRESULT GetMiscStatus(DWORD dwAspect, DWORD* pdwStatus) override;
    // Only extents the control can make a picture of are taken
    // (E_INVALIDARG otherwise); a new one marks the control modified.
    HRESULT SetExtent(DWORD dwDrawAspect, SIZEL* psizel) override;
    HRESULT GetExtent(DWORD dwDrawAspect, SIZEL* psizel) override;
    // --- IViewObject
    HRESULT Draw(DWORD dwDrawAspect, LONG lindex, HDC hdcDraw, LPCRECTL lprcBounds) override;
    // --- IDataObject: the control as drawn by OnDraw, a PNG image (CF_PNG)
    // in a stream, its extent in pixels at 96 dots per inch.
    HRESULT GetData(FORMATETC* pformatetcIn, STGMEDIUM* pmedium) override;
    HRESULT QueryGetData(FORMATETC* pformatetc) override;
    // --- IPersistStreamInit and IPersistPropertyBag
    HRESULT IsDirty() override;
    HRESULT Load(LPSTREAM pStm) override;
    HRESULT Save(LPSTREAM pStm, BOOL fClearDirty) override;
    HRESULT GetSizeMax(std::uint64_t* pcbSize) override;
    HRESULT InitNew() override;
    HRESULT Load(IPropertyBag* pPropBag, IErrorLog* pErrorLog) override;
    HRESULT Save(IPropertyBag* pPropBag, BOOL fClearDirty, BOOL fSaveAllProperties) override;
    // --- ISpecifyPropertyPages
    HRESULT GetPages(CAUUID* pPages) override;

protected:
    // Names the primary dispatch interface (answered as IDispatch) and the
    // event interface (offered as a connection point); call it once, from
    // the constructor.
    void InitializeIIDs(const IID* piidPrimary, const IID* piidEvents);

    static const AFX_EVENTMAP* GetThisEventMap();
    virtual const AFX_EVENTMAP* GetEventMap() const;

    void* FindInterface(REFIID riid) override;

    // The version of the state last loaded (or reset).
    DWORD m_dwVersionLoaded = 0;
    // The extent in hundredths of a millimetre.
    LONG m_cxExtent;
    LONG m_cyExtent;
    AFX_MODULE_STATE* m_pModuleState;

    DECLARE_MESSAGE_MAP()

private:
    struct Verb {
        LONG number;
        UINT nameId;
        AFX_PVERB handler;
    };
    std::vector<Verb> CollectVerbs() const;
    platform::com::DispatchObject Self();
    // OnDraw into a context lent for the call; false (the code set) when the
    // context cannot keep its selections.
    bool DrawLent(HDC hdc, const CRect& bounds);
    HRESULT TypeInfoOf(LCID lcid, REFGUID guid, ITypeInfo** ppTypeInfo);
    HRESULT SaveToList(platform::ctl::StateProperties& props);

    const IID* m_piidPrimary = nullptr;
    const IID* m_piidEvents = nullptr;
    std::unique_ptr<platform::com::ConnectionPoints> m_points;
    BOOL m_bModified = FALSE;
};
