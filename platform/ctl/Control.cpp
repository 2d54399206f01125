#include "platform/ctl/Control.h"

#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <typeinfo>

#include "platform/com/Activation.h"
#include "platform/com/Enumerator.h"
#include "platform/com/Registration.h"
#include "platform/ctl/DataObject.h"
#include "platform/ctl/MemoryStream.h"
#include "platform/ctl/PropertyFrame.h"
#include "platform/ctl/StateStream.h"
#include "platform/text/Utf.h"
#include "platform/ui/ModuleStrings.h"
#include "platform/win/Failure.h"
#include "platform/win/LastError.h"

using platform::com::ComPtr;

namespace {

// 100 by 50 pixels at 96 dots per inch, in hundredths of a millimetre.
constexpr LONG kDefaultExtentX = 2646;
constexpr LONG kDefaultExtentY = 1323;

// The way into the control from a host: the control's module state for the
// call, and whatever goes wrong inside turned into a result code, told under
// the name of the method the host called.
template <class F>
HRESULT Guard(AFX_MODULE_STATE* state, F&& body,
              const char* caller = __builtin_FUNCTION()) noexcept {
    return platform::RunGuardedHr(
        caller,
        [&]() -> HRESULT {
            AFX_MANAGE_STATE(state);
            return body();
        },
        E_UNEXPECTED, E_OUTOFMEMORY);
}

// The failure the platform recorded as a result code. Never success: a
// caller must not take a picture that failed for an empty one.
HRESULT LastErrorResult() {
    const DWORD code = GetLastError();
    if (code == 0) return HRESULT(E_FAIL);
    // Some last-error codes are result codes already.
    if ((code & 0x80000000u) != 0) return platform::com::Hr(code);
    return HRESULT_FROM_WIN32(code);
}

// The one request for data a control answers.
HRESULT CheckPictureFormat(const FORMATETC& format) {
    if (format.cfFormat != CF_PNG) return DV_E_FORMATETC;
    if (format.dwAspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    if (format.lindex != -1) return DV_E_LINDEX;
    // A mask: a caller may offer several media and take the one given.
    if ((format.tymed & TYMED_ISTREAM) == 0) return DV_E_TYMED;
    return S_OK;
}

// Owns a context made for one picture.
struct OwnedDC {
    HDC hdc;
    ~OwnedDC() {
        if (hdc != nullptr) ::DeleteDC(hdc);
    }
};

LPOLESTR TaskString(std::u16string_view text) {
    auto* out = static_cast<LPOLESTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(OLECHAR)));
    if (out == nullptr) return nullptr;
    std::memcpy(out, text.data(), text.size() * sizeof(OLECHAR));
    out[text.size()] = u'\0';
    return out;
}

// The verbs of a control as a host walks them; each name handed out is the
// caller's to free.
struct VerbItems {
    struct Item {
        LONG number;
        std::u16string name;
    };
    using Interface = IEnumOLEVERB;
    using Element = OLEVERB;
    static constexpr std::string_view kClone = "IEnumOLEVERB::Clone";
    static bool HandOut(const Item& item, Element& out) {
        LPOLESTR name = TaskString(item.name);
        if (name == nullptr) return false;
        out = {item.number, name, 0, OLEVERBATTRIB_ONCONTAINERMENU};
        return true;
    }
    static void TakeBack(Element& out) { CoTaskMemFree(out.lpszVerbName); }
};
using VerbEnumerator = platform::com::Enumerator<VerbItems>;

}  // namespace

IMPLEMENT_DYNAMIC_ROOT(COleControl)

// An empty table: its class name goes unused.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-local-typedefs"
BEGIN_MESSAGE_MAP(COleControl, CWnd)
END_MESSAGE_MAP()
#pragma GCC diagnostic pop

const AFX_EVENTMAP* COleControl::GetThisEventMap() {
    static constexpr AFX_EVENTMAP_ENTRY kEntries[] = {{nullptr, DISPID_UNKNOWN, nullptr}};
    static constexpr AFX_EVENTMAP kMap = {nullptr, &kEntries[0]};
    return &kMap;
}

const AFX_EVENTMAP* COleControl::GetEventMap() const {
    return GetThisEventMap();
}

// A control alive keeps its module loaded.
COleControl::COleControl()
    : m_cxExtent(kDefaultExtentX),
      m_cyExtent(kDefaultExtentY),
      m_pModuleState(AfxGetModuleState()) {
    AfxOleLockApp();
}

COleControl::~COleControl() {
    m_points.reset();
    AfxOleUnlockApp();
}

void COleControl::InitializeIIDs(const IID* piidPrimary, const IID* piidEvents) {
    m_piidPrimary = piidPrimary;
    m_piidEvents = piidEvents;
    m_points.reset();
    if (piidEvents != nullptr)
        m_points = std::make_unique<platform::com::ConnectionPoints>(
            static_cast<IConnectionPointContainer&>(*this), std::span<const IID>(piidEvents, 1));
}

IUnknown* COleControl::GetControllingUnknown() {
    return static_cast<IUnknown*>(static_cast<IDispatch*>(this));
}

void* COleControl::FindInterface(REFIID riid) {
    if (m_piidPrimary != nullptr && riid == *m_piidPrimary) return static_cast<IDispatch*>(this);
    if (riid == IID_IConnectionPointContainer && !m_points) return nullptr;
    return ComObject::FindInterface(riid);
}

platform::com::DispatchObject COleControl::Self() {
    // The table's members belong to the most derived class.
    return {dynamic_cast<void*>(this), &typeid(*this)};
}

// ---------------------------------------------------------------------------
// What a control overrides: the base's behaviour.

void COleControl::OnDraw(CDC*, const CRect&, const CRect&) {}

void COleControl::DoPropExchange(CPropExchange* pPX) {
    ExchangeExtent(pPX);
    ExchangeStockProps(pPX);
}

void COleControl::OnResetState() {
    platform::ctl::ResetPropExchange px;
    DoPropExchange(&px);
}

BOOL COleControl::OnProperties(LPMSG, HWND hWndParent, LPCRECT) {
    ULONG cPages = 0;
    LPCLSID pPages = GetPropPageIDs(cPages);
    const std::u16string caption = platform::com::Utf8ToUtf16(GetUserTypeName().Str());
    IUnknown* self = GetControllingUnknown();
    const HRESULT hr = OleCreatePropertyFrame(hWndParent, 0, 0, caption.c_str(), 1, &self, cPages,
                                              pPages, LOCALE_USER_DEFAULT, 0, nullptr);
    return SUCCEEDED(hr) ? TRUE : FALSE;
}

LPCLSID COleControl::GetPropPageIDs(ULONG& cPropPages) {
    cPropPages = 0;
    return nullptr;
}

UINT COleControl::GetUserTypeNameID() {
    return 0;
}

DWORD COleControl::GetMiscStatus() {
    return 0;
}

UINT COleControl::GetTypeInfoCount() {
    return 0;
}

HRESULT COleControl::GetTypeLib(LCID, LPTYPELIB* ppTypeLib) {
    if (ppTypeLib != nullptr) *ppTypeLib = nullptr;
    return TYPE_E_CANTLOADLIBRARY;
}

CTypeLibCache* COleControl::GetTypeLibCache() {
    return nullptr;
}

const platform::com::DispatchTable* COleControl::GetDispatchMap() const {
    return &platform::com::CmdTargetDispatchTable();
}

// ---------------------------------------------------------------------------
// What a control calls.

BOOL COleControl::ExchangeVersion(CPropExchange* pPX, DWORD dwVersionDefault, BOOL bConvert) {
    return pPX->ExchangeVersion(m_dwVersionLoaded, dwVersionDefault, bConvert);
}

BOOL COleControl::ExchangeExtent(CPropExchange* pPX) {
    LONG cx = m_cxExtent;
    LONG cy = m_cyExtent;
    BOOL ok = PX_Long(pPX, "_ExtentX", cx, kDefaultExtentX);
    ok = PX_Long(pPX, "_ExtentY", cy, kDefaultExtentY) && ok;
    if (pPX->IsLoading()) {
        // No host can lay out a negative size: the default stands in for it.
        m_cxExtent = cx < 0 ? kDefaultExtentX : cx;
        m_cyExtent = cy < 0 ? kDefaultExtentY : cy;
    }
    return ok;
}

void COleControl::ExchangeStockProps(CPropExchange* pPX) {
    // Controls of this framework have no stock properties: the mask is
    // written as none, and a stored one has nothing to restore.
    ULONG mask = 0;
    PX_ULong(pPX, "_StockProps", mask, 0);
}

void COleControl::SetModifiedFlag(BOOL bModified) {
    m_bModified = bModified;
}

BOOL COleControl::IsModified() const {
    return m_bModified;
}

CString COleControl::GetUserTypeName() {
    const char* text = platform::ui::FindString(static_cast<int>(GetUserTypeNameID()));
    return CString(text);
}

std::vector<COleControl::Verb> COleControl::CollectVerbs() const {
    std::vector<Verb> verbs;
    for (const AFX_MSGMAP* map = GetMessageMap(); map != nullptr;
         map = map->pfnGetBaseMap == nullptr ? nullptr : map->pfnGetBaseMap()) {
        for (const AFX_MSGMAP_ENTRY* e = map->lpEntries; e != nullptr && e->nSig != AfxSig_end; ++e)
            if (e->nMessage == WM_AFX_OLEVERB && e->nSig == AfxSig_verb)
                verbs.push_back({LONG(verbs.size()), e->nID, std::bit_cast<AFX_PVERB>(e->pfn)});
    }
    return verbs;
}

HRESULT COleControl::TypeInfoOf(LCID lcid, REFGUID guid, ITypeInfo** ppTypeInfo) {
    return platform::com::GetCachedTypeInfoOfGuid(
        GetTypeLibCache(), lcid, guid, [this](LCID l, ITypeLib** pp) { return GetTypeLib(l, pp); },
        ppTypeInfo);
}

HRESULT COleControl::SaveToList(platform::ctl::StateProperties& props) {
    platform::ctl::ListPropExchange px(props, FALSE);
    DoPropExchange(&px);
    return S_OK;
}

// ---------------------------------------------------------------------------
// IDispatch and IProvideClassInfo

HRESULT COleControl::GetTypeInfoCount(UINT* pctinfo) {
    return Guard(m_pModuleState, [&]() -> HRESULT {
        if (pctinfo == nullptr) return E_POINTER;
        *pctinfo = GetTypeInfoCount();
        return S_OK;
    });
}

HRESULT COleControl::GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) {
    return Guard(m_pModuleState, [&]() -> HRESULT {
        if (ppTInfo == nullptr) return E_POINTER;
        *ppTInfo = nullptr;
        if (iTInfo != 0 || m_piidPrimary == nullptr || GetTypeInfoCount() == 0)
            return DISP_E_BADINDEX;
        return TypeInfoOf(lcid, *m_piidPrimary, ppTInfo);
    });
}

HRESULT COleControl::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID,
                                   DISPID* rgDispId) {
    return Guard(m_pModuleState, [&] {
        return platform::com::GetIDsOfNamesFromTable(*GetDispatchMap(), riid, rgszNames, cNames,
                                                     rgDispId);
    });
}

HRESULT COleControl::Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags,
                            DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                            UINT* puArgErr) {
    // The host may let the control go from inside the call.
    const auto self = ComPtr<IDispatch>::Share(static_cast<IDispatch*>(this));
    return Guard(m_pModuleState, [&] {
        return platform::com::InvokeFromTable(*GetDispatchMap(), Self(), dispIdMember, riid, wFlags,
                                              pDispParams, pVarResult, pExcepInfo, puArgErr);
    });
}

HRESULT COleControl::GetClassInfo(ITypeInfo** ppTI) {
    return Guard(m_pModuleState, [&]() -> HRESULT {
        if (ppTI == nullptr) return E_POINTER;
        *ppTI = nullptr;
        CLSID clsid{};
        if (const HRESULT hr = GetClassID(&clsid); FAILED(hr)) return hr;
        return TypeInfoOf(LOCALE_NEUTRAL, clsid, ppTI);
    });
}

HRESULT COleControl::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
    return Guard(m_pModuleState, [&]() -> HRESULT {
        if (!m_points) {
            if (ppEnum != nullptr) *ppEnum = nullptr;
            return E_NOTIMPL;
        }
        return m_points->EnumConnectionPoints(ppEnum);
    });
}

HRESULT COleControl::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
    return Guard(m_pModuleState, [&]() -> HRESULT {
        if (!m_points) {
            if (ppCP != nullptr) *ppCP = nullptr;
            return CONNECT_E_NOCONNECTION;
        }
        return m_points->FindConnectionPoint(riid, ppCP);
    });
}

// ---------------------------------------------------------------------------
// IOleObject and IViewObject

HRESULT COleControl::DoVerb(LONG iVerb, LPMSG lpmsg, HWND hwndParent, LPCRECT lprcPosRect) {
    const auto self = ComPtr<IDispatch>::Share(static_cast<IDispatch*>(this));
    return Guard(m_pModuleState, [&]() -> HRESULT {
        if (iVerb == OLEIVERB_PROPERTIES)
            return OnProperties(lpmsg, hwndParent, lprcPosRect) ? S_OK : E_FAIL;
        for (const Verb& verb : CollectVerbs())
            if (verb.number == iVerb)
                return (this->*verb.handler)(lpmsg, hwndParent, lprcPosRect) ? S_OK : E_FAIL;
        // The standard verbs of visible controls activate them in place,
        // which no host of this platform does.
        return iVerb >= 0 ? OLEOBJ_E_INVALIDVERB : E_NOTIMPL;
    });
}

HRESULT COleControl::EnumVerbs(IEnumOLEVERB** ppEnumOleVerb) {
    return Guard(m_pModuleState, [&]() -> HRESULT {
        if (ppEnumOleVerb == nullptr) return E_POINTER;
        *ppEnumOleVerb = nullptr;
        std::vector<VerbItems::Item> items;
        for (const Verb& verb : CollectVerbs()) {
            const char* name = platform::ui::FindString(static_cast<int>(verb.nameId));
            items.push_back({verb.number, platform::com::Utf8ToUtf16(name == nullptr ? "" : name)});
        }
        *ppEnumOleVerb = VerbEnumerator::Create(std::move(items)).Detach();
        return S_OK;
    });
}

HRESULT COleControl::GetUserClassID(CLSID* pClsid) {
    return Guard(m_pModuleState, [&]() -> HRESULT {
        if (pClsid == nullptr) return E_POINTER;
        return GetClassID(pClsid);
    });
}

HRESULT COleControl::GetUserType(DWORD, LPOLESTR* pszUserType) {
    return Guard(m_pModuleState, [&]() -> HRESULT {
        if (pszUserType == nullptr) return E_POINTER;
        *pszUserType = nullptr;
        const CString name = GetUserTypeName();
        if (name.IsEmpty()) return E_FAIL;
        *pszUserType = TaskString(platform::com::Utf8ToUtf16(name.Str()));
        return *pszUserType == nullptr ? HRESULT(E_OUTOFMEMORY) : S_OK;
    });
}

HRESULT COleControl::GetMiscStatus(DWORD, DWORD* pdwStatus) {
    return Guard(m_pModuleState, [&]() -> HRESULT {
        if (pdwStatus == nullptr) return E_POINTER;
        *pdwStatus = GetMiscStatus();
        return S_OK;
    });
}

HRESULT COleControl::SetExtent(DWORD dwDrawAspect, SIZEL* psizel) {
    return Guard(m_pModuleState, [&]() -> HRESULT {
        if (dwDrawAspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
        if (psizel == nullptr) return E_POINTER;
        // A size the control could not be pictured at would only fail later,
        // in GetData, far from the call that caused it.
        int width = 0, height = 0;
        if (!platform::ctl::PictureSize(psizel->cx, psizel->cy, width, height))
            return HRESULT(E_INVALIDARG);
        if (psizel->cx != m_cxExtent || psizel->cy != m_cyExtent) {
            m_cxExtent = psizel->cx;
            m_cyExtent = psizel->cy;
            SetModifiedFlag();
        }
        return S_OK;
    });
}

HRESULT COleControl::GetExtent(DWORD dwDrawAspect, SIZEL* psizel) {
    return Guard(m_pModuleState, [&]() -> HRESULT {
        if (dwDrawAspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
        if (psizel == nullptr) return E_POINTER;
        *psizel = {m_cxExtent, m_cyExtent};
        return S_OK;
    });
}

bool COleControl::DrawLent(HDC hdc, const CRect& bounds) {
    // The control's selections stay its own: the context is given back as
    // it came.
    const int saved = ::SaveDC(hdc);
    if (saved == 0) return false;
    struct Lent {
        CDC dc;
        HDC hdc;
        int saved;
        ~Lent() {
            dc.Detach();
            ::RestoreDC(hdc, saved);
        }
    } lent{{}, hdc, saved};
    lent.dc.Attach(hdc);
    OnDraw(&lent.dc, bounds, bounds);
    return true;
}

HRESULT COleControl::Draw(DWORD dwDrawAspect, LONG lindex, HDC hdcDraw, LPCRECTL lprcBounds) {
    return Guard(m_pModuleState, [&]() -> HRESULT {
        if (dwDrawAspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
        if (lindex != -1) return DV_E_LINDEX;
        if (lprcBounds == nullptr) return E_POINTER;
        return DrawLent(hdcDraw, CRect(*lprcBounds)) ? S_OK : HRESULT(E_INVALIDARG);
    });
}

// ---------------------------------------------------------------------------
// IDataObject

HRESULT COleControl::GetData(FORMATETC* pformatetcIn, STGMEDIUM* pmedium) {
    // The host may let the control go from inside its drawing.
    const auto self = ComPtr<IDispatch>::Share(static_cast<IDispatch*>(this));
    return Guard(m_pModuleState, [&]() -> HRESULT {
        if (pmedium == nullptr) return E_POINTER;
        *pmedium = {TYMED_NULL, nullptr, nullptr};
        if (pformatetcIn == nullptr) return E_POINTER;
        if (const HRESULT hr = CheckPictureFormat(*pformatetcIn); FAILED(hr)) return hr;
        // The extent may have come from a saved state rather than SetExtent.
        int width = 0, height = 0;
        if (!platform::ctl::PictureSize(m_cxExtent, m_cyExtent, width, height))
            return HRESULT(E_INVALIDARG);

        std::vector<unsigned char> png;
        {
            const OwnedDC picture{platform::ui::CreateImageDC(width, height)};
            if (picture.hdc == nullptr) return LastErrorResult();
            if (!DrawLent(picture.hdc, CRect(0, 0, width, height))) return LastErrorResult();
            if (!platform::ui::EncodeImagePng(picture.hdc, png)) return LastErrorResult();
        }
        auto stream = platform::ctl::MemoryStream::Create(std::move(png));
        *pmedium = {TYMED_ISTREAM, static_cast<IStream*>(stream.Detach()), nullptr};
        return S_OK;
    });
}

HRESULT COleControl::QueryGetData(FORMATETC* pformatetc) {
    return Guard(m_pModuleState, [&]() -> HRESULT {
        if (pformatetc == nullptr) return E_POINTER;
        return CheckPictureFormat(*pformatetc);
    });
}

// ---------------------------------------------------------------------------
// Persistence

HRESULT COleControl::IsDirty() {
    return m_bModified ? S_OK : S_FALSE;
}

HRESULT COleControl::InitNew() {
    return Guard(m_pModuleState, [&]() -> HRESULT {
        OnResetState();
        m_bModified = FALSE;
        return S_OK;
    });
}

HRESULT COleControl::Load(LPSTREAM pStm) {
    return Guard(m_pModuleState, [&]() -> HRESULT {
        // The whole state is read and checked before any of it is used, so
        // a damaged one leaves the control as it was.
        platform::ctl::StateProperties props;
        if (const HRESULT hr = platform::ctl::ReadState(pStm, props); FAILED(hr)) return hr;
        platform::ctl::ListPropExchange px(props, TRUE);
        DoPropExchange(&px);
        m_bModified = FALSE;
        return S_OK;
    });
}

HRESULT COleControl::Save(LPSTREAM pStm, BOOL fClearDirty) {
    return Guard(m_pModuleState, [&]() -> HRESULT {
        platform::ctl::StateProperties props;
        SaveToList(props);
        if (const HRESULT hr = platform::ctl::WriteState(pStm, props); FAILED(hr)) return hr;
        if (fClearDirty) m_bModified = FALSE;
        return S_OK;
    });
}

HRESULT COleControl::GetSizeMax(std::uint64_t* pcbSize) {
    return Guard(m_pModuleState, [&]() -> HRESULT {
        if (pcbSize == nullptr) return E_POINTER;
        platform::ctl::StateProperties props;
        SaveToList(props);
        std::vector<BYTE> bytes;
        if (const HRESULT hr = platform::ctl::EncodeState(props, bytes); FAILED(hr)) return hr;
        *pcbSize = bytes.size();
        return S_OK;
    });
}

HRESULT COleControl::Load(IPropertyBag* pPropBag, IErrorLog* pErrorLog) {
    return Guard(m_pModuleState, [&]() -> HRESULT {
        if (pPropBag == nullptr) return E_POINTER;
        // A property the bag lacks, or holds in a form that does not
        // convert, takes its default; the bag reports the latter to the log.
        platform::ctl::BagPropExchange px(pPropBag, pErrorLog, TRUE);
        DoPropExchange(&px);
        m_bModified = FALSE;
        return S_OK;
    });
}

HRESULT COleControl::Save(IPropertyBag* pPropBag, BOOL fClearDirty, BOOL) {
    return Guard(m_pModuleState, [&]() -> HRESULT {
        if (pPropBag == nullptr) return E_POINTER;
        platform::ctl::BagPropExchange px(pPropBag, nullptr, FALSE);
        DoPropExchange(&px);
        if (FAILED(px.Result())) return px.Result();
        if (fClearDirty) m_bModified = FALSE;
        return S_OK;
    });
}

HRESULT COleControl::GetPages(CAUUID* pPages) {
    return Guard(m_pModuleState, [&]() -> HRESULT {
        if (pPages == nullptr) return E_POINTER;
        pPages->cElems = 0;
        pPages->pElems = nullptr;
        ULONG count = 0;
        LPCLSID ids = GetPropPageIDs(count);
        if (count == 0 || ids == nullptr) return S_OK;
        auto* out = static_cast<GUID*>(CoTaskMemAlloc(count * sizeof(GUID)));
        if (out == nullptr) return HRESULT(E_OUTOFMEMORY);
        std::memcpy(out, ids, count * sizeof(GUID));
        pPages->cElems = count;
        pPages->pElems = out;
        return S_OK;
    });
}
