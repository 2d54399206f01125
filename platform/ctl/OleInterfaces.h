#pragma once
// The interfaces through which a host works a control beyond automation:
// saving and loading its state (to a stream or a property bag), drawing it,
// its verbs and its miscellaneous status, and its property pages. Each
// declares the members the hosts of this platform use; identifiers are the
// standard ones.

#include "platform/com/Dispatch.h"
#include "platform/com/Unknown.h"
#include "platform/ui/DeviceContext.h"
#include "platform/ui/WinUser.h"

// Memory handed from callee to caller (strings and arrays in out-parameters);
// the caller frees it with CoTaskMemFree.
LPVOID CoTaskMemAlloc(std::size_t cb);
void CoTaskMemFree(LPVOID pv);

namespace platform::ctl {
// Blocks from CoTaskMemAlloc not yet freed, for tests that prove nothing
// stays behind.
long LiveTaskMemory();
}  // namespace platform::ctl

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};
using LPMSG = MSG*;

// Result codes of storage, persistence, drawing and verbs.
inline constexpr HRESULT STG_E_WRITEFAULT = platform::com::Hr(0x8003001D);
inline constexpr HRESULT STG_E_READFAULT = platform::com::Hr(0x8003001E);
inline constexpr HRESULT STG_E_MEDIUMFULL = platform::com::Hr(0x80030070);
inline constexpr HRESULT STG_E_INVALIDHEADER = platform::com::Hr(0x800300FB);
inline constexpr HRESULT STG_E_OLDDLL = platform::com::Hr(0x80030105);
inline constexpr HRESULT STG_E_DOCFILECORRUPT = platform::com::Hr(0x80030109);
inline constexpr HRESULT DV_E_FORMATETC = platform::com::Hr(0x80040064);
inline constexpr HRESULT DV_E_LINDEX = platform::com::Hr(0x80040068);
inline constexpr HRESULT DV_E_TYMED = platform::com::Hr(0x80040069);
inline constexpr HRESULT DV_E_DVASPECT = platform::com::Hr(0x8004006B);
inline constexpr HRESULT OLEOBJ_E_INVALIDVERB = platform::com::Hr(0x80040181);

struct ISequentialStream : IUnknown {
    static constexpr IID kIid = platform::com::MakeGuid("{0C733A30-2A1C-11CE-ADE5-00AA0044773D}");
    using Base = IUnknown;
    // Fewer bytes than asked for, with S_OK, only at the end of the stream.
    virtual HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) = 0;
    virtual HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) = 0;

protected:
    ~ISequentialStream() = default;
};

inline constexpr DWORD STREAM_SEEK_SET = 0;
inline constexpr DWORD STREAM_SEEK_CUR = 1;
inline constexpr DWORD STREAM_SEEK_END = 2;

struct IStream : ISequentialStream {
    static constexpr IID kIid = platform::com::MakeGuid("{0000000C-0000-0000-C000-000000000046}");
    using Base = ISequentialStream;
    virtual HRESULT Seek(std::int64_t dlibMove, DWORD dwOrigin, std::uint64_t* plibNewPosition) = 0;

protected:
    ~IStream() = default;
};
using LPSTREAM = IStream*;

struct IErrorLog : IUnknown {
    static constexpr IID kIid = platform::com::MakeGuid("{3127CA40-446E-11CE-8135-00AA004BB851}");
    using Base = IUnknown;
    virtual HRESULT AddError(LPCOLESTR pszPropName, EXCEPINFO* pExcepInfo) = 0;

protected:
    ~IErrorLog() = default;
};

// Named values a host keeps for a control. Read takes the type wanted in
// pVar->vt (VT_EMPTY: the bag's own) and answers E_INVALIDARG for a name it
// does not hold.
struct IPropertyBag : IUnknown {
    static constexpr IID kIid = platform::com::MakeGuid("{55272A00-42CB-11CE-8135-00AA004BB851}");
    using Base = IUnknown;
    virtual HRESULT Read(LPCOLESTR pszPropName, VARIANT* pVar, IErrorLog* pErrorLog) = 0;
    virtual HRESULT Write(LPCOLESTR pszPropName, VARIANT* pVar) = 0;

protected:
    ~IPropertyBag() = default;
};

struct IPersist : IUnknown {
    static constexpr IID kIid = platform::com::MakeGuid("{0000010C-0000-0000-C000-000000000046}");
    using Base = IUnknown;
    virtual HRESULT GetClassID(CLSID* pClassID) = 0;

protected:
    ~IPersist() = default;
};

struct IPersistStreamInit : IPersist {
    static constexpr IID kIid = platform::com::MakeGuid("{7FD52380-4E07-101B-AE2D-08002B2EC713}");
    using Base = IPersist;
    // S_OK when changed since the last save, S_FALSE otherwise.
    virtual HRESULT IsDirty() = 0;
    virtual HRESULT Load(LPSTREAM pStm) = 0;
    virtual HRESULT Save(LPSTREAM pStm, BOOL fClearDirty) = 0;
    virtual HRESULT GetSizeMax(std::uint64_t* pcbSize) = 0;
    virtual HRESULT InitNew() = 0;

protected:
    ~IPersistStreamInit() = default;
};

struct IPersistPropertyBag : IPersist {
    static constexpr IID kIid = platform::com::MakeGuid("{37D84F60-42CB-11CE-8135-00AA004BB851}");
    using Base = IPersist;
    virtual HRESULT InitNew() = 0;
    virtual HRESULT Load(IPropertyBag* pPropBag, IErrorLog* pErrorLog) = 0;
    virtual HRESULT Save(IPropertyBag* pPropBag, BOOL fClearDirty, BOOL fSaveAllProperties) = 0;

protected:
    ~IPersistPropertyBag() = default;
};

inline constexpr DWORD DVASPECT_CONTENT = 1;

struct IViewObject : IUnknown {
    static constexpr IID kIid = platform::com::MakeGuid("{0000010D-0000-0000-C000-000000000046}");
    using Base = IUnknown;
    // Draws the aspect (DVASPECT_CONTENT; lindex -1) into the bounds.
    virtual HRESULT Draw(DWORD dwDrawAspect, LONG lindex, HDC hdcDraw, LPCRECTL lprcBounds) = 0;

protected:
    ~IViewObject() = default;
};

// ---------------------------------------------------------------------------
// Data transfer: a format asked for, and the medium the data comes in. A
// control hands out its picture this way because a device context made by a
// host is unknown to the copy of the platform inside the control's module,
// while a stream crosses, being called only through its table.

using CLIPFORMAT = WORD;

// PNG image bytes. The number is this platform's own and never changes: it
// lies in the range of registered formats, but no registration gives it out,
// so a host and a control that each link their own copy of the platform agree
// on it without talking to each other first.
inline constexpr CLIPFORMAT CF_PNG = 0xC0F0;

// Media, as a mask in a request and as a single value in an answer.
inline constexpr DWORD TYMED_NULL = 0;
inline constexpr DWORD TYMED_HGLOBAL = 1;
inline constexpr DWORD TYMED_ISTREAM = 4;

struct FORMATETC {
    CLIPFORMAT cfFormat;
    void* ptd;  // the target device; null: the screen
    DWORD dwAspect;
    LONG lindex;
    DWORD tymed;
};
using LPFORMATETC = FORMATETC*;

// The data handed out: only the stream form exists here. Whoever receives it
// owns it and gives it back with ReleaseStgMedium.
struct STGMEDIUM {
    DWORD tymed;
    IStream* pstm;
    IUnknown* pUnkForRelease;
};
using LPSTGMEDIUM = STGMEDIUM*;

// Releases the stream and pUnkForRelease, and leaves the medium empty
// (TYMED_NULL); does nothing for null.
void ReleaseStgMedium(LPSTGMEDIUM pmedium);

struct IDataObject : IUnknown {
    static constexpr IID kIid = platform::com::MakeGuid("{0000010E-0000-0000-C000-000000000046}");
    using Base = IUnknown;
    // The data in a new medium the caller releases; on failure the medium is
    // left empty. DV_E_FORMATETC, DV_E_DVASPECT, DV_E_LINDEX or DV_E_TYMED
    // name the field of the request that cannot be met.
    virtual HRESULT GetData(FORMATETC* pformatetcIn, STGMEDIUM* pmedium) = 0;
    // S_OK when GetData would take the request, else the code it would give.
    virtual HRESULT QueryGetData(FORMATETC* pformatetc) = 0;

protected:
    ~IDataObject() = default;
};

// ---------------------------------------------------------------------------

struct OLEVERB {
    LONG lVerb;
    LPOLESTR lpszVerbName;  // from CoTaskMemAlloc
    DWORD fuFlags;
    DWORD grfAttribs;
};
using LPOLEVERB = OLEVERB*;

inline constexpr LONG OLEIVERB_PRIMARY = 0;
inline constexpr LONG OLEIVERB_PROPERTIES = -7;
inline constexpr DWORD OLEVERBATTRIB_NEVERDIRTIES = 1;
inline constexpr DWORD OLEVERBATTRIB_ONCONTAINERMENU = 2;

inline constexpr DWORD USERCLASSTYPE_FULL = 1;
inline constexpr DWORD USERCLASSTYPE_SHORT = 2;
inline constexpr DWORD USERCLASSTYPE_APPNAME = 3;

inline constexpr DWORD OLEMISC_RECOMPOSEONRESIZE = 0x1;
inline constexpr DWORD OLEMISC_CANTLINKINSIDE = 0x10;
inline constexpr DWORD OLEMISC_INSIDEOUT = 0x80;
inline constexpr DWORD OLEMISC_INVISIBLEATRUNTIME = 0x400;
inline constexpr DWORD OLEMISC_SETCLIENTSITEFIRST = 0x20000;

struct IEnumOLEVERB : IUnknown {
    static constexpr IID kIid = platform::com::MakeGuid("{00000104-0000-0000-C000-000000000046}");
    using Base = IUnknown;
    // S_FALSE when fewer than asked for are left.
    virtual HRESULT Next(ULONG celt, LPOLEVERB rgelt, ULONG* pceltFetched) = 0;
    virtual HRESULT Skip(ULONG celt) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumOLEVERB** ppenum) = 0;

protected:
    ~IEnumOLEVERB() = default;
};

// A size in hundredths of a millimetre (HIMETRIC).
struct SIZEL {
    LONG cx;
    LONG cy;
};
using LPSIZEL = SIZEL*;

struct IOleObject : IUnknown {
    static constexpr IID kIid = platform::com::MakeGuid("{00000112-0000-0000-C000-000000000046}");
    using Base = IUnknown;
    virtual HRESULT DoVerb(LONG iVerb, LPMSG lpmsg, HWND hwndParent, LPCRECT lprcPosRect) = 0;
    virtual HRESULT EnumVerbs(IEnumOLEVERB** ppEnumOleVerb) = 0;
    virtual HRESULT GetUserClassID(CLSID* pClsid) = 0;
    // The text from CoTaskMemAlloc.
    virtual HRESULT GetUserType(DWORD dwFormOfType, LPOLESTR* pszUserType) = 0;
    virtual HRESULT GetMiscStatus(DWORD dwAspect, DWORD* pdwStatus) = 0;
    // The size the object is drawn at, in hundredths of a millimetre.
    virtual HRESULT SetExtent(DWORD dwDrawAspect, SIZEL* psizel) = 0;
    virtual HRESULT GetExtent(DWORD dwDrawAspect, SIZEL* psizel) = 0;

protected:
    ~IOleObject() = default;
};

struct CAUUID {
    ULONG cElems;
    GUID* pElems;  // from CoTaskMemAlloc
};

struct ISpecifyPropertyPages : IUnknown {
    static constexpr IID kIid = platform::com::MakeGuid("{B196B28B-BAB4-101A-B69C-00AA00341D07}");
    using Base = IUnknown;
    virtual HRESULT GetPages(CAUUID* pPages) = 0;

protected:
    ~ISpecifyPropertyPages() = default;
};

struct IPropertyPage : IUnknown {
    static constexpr IID kIid = platform::com::MakeGuid("{B196B28D-BAB4-101A-B69C-00AA00341D07}");
    using Base = IUnknown;
    // The objects whose properties the page shows; none to let them go.
    virtual HRESULT SetObjects(ULONG cObjects, IUnknown** ppUnk) = 0;
    virtual HRESULT Activate(HWND hWndParent, LPCRECT pRect, BOOL bModal) = 0;
    virtual HRESULT Deactivate() = 0;
    virtual HRESULT IsPageDirty() = 0;
    virtual HRESULT Apply() = 0;

protected:
    ~IPropertyPage() = default;
};

inline constexpr IID IID_IPersist = IPersist::kIid;
inline constexpr IID IID_IPersistStreamInit = IPersistStreamInit::kIid;
inline constexpr IID IID_IPersistPropertyBag = IPersistPropertyBag::kIid;
inline constexpr IID IID_IPropertyBag = IPropertyBag::kIid;
inline constexpr IID IID_IStream = IStream::kIid;
inline constexpr IID IID_IViewObject = IViewObject::kIid;
inline constexpr IID IID_IDataObject = IDataObject::kIid;
inline constexpr IID IID_IOleObject = IOleObject::kIid;
inline constexpr IID IID_ISpecifyPropertyPages = ISpecifyPropertyPages::kIid;
inline constexpr IID IID_IPropertyPage = IPropertyPage::kIid;
