#pragma once
// Type information, read-only: a type library describes a set of types
// (interfaces, dispatch interfaces, classes) with their members; clients read
// it through ITypeLib and ITypeInfo. Libraries are loaded from a file in the
// format of docs/typelib-format.md, from the same bytes in memory, or through
// the registration of the library's identifier.

#include <span>

#include "platform/com/Dispatch.h"
#include "platform/com/Unknown.h"
#include "platform/com/Variant.h"

using HREFTYPE = DWORD;

enum SYSKIND : int { SYS_WIN16 = 0, SYS_WIN32 = 1, SYS_MAC = 2, SYS_WIN64 = 3 };

enum LIBFLAGS : WORD {
    LIBFLAG_FRESTRICTED = 0x1,
    LIBFLAG_FCONTROL = 0x2,
    LIBFLAG_FHIDDEN = 0x4,
    LIBFLAG_FHASDISKIMAGE = 0x8,
};

enum TYPEKIND : int {
    TKIND_ENUM = 0,
    TKIND_RECORD = 1,
    TKIND_MODULE = 2,
    TKIND_INTERFACE = 3,
    TKIND_DISPATCH = 4,
    TKIND_COCLASS = 5,
    TKIND_ALIAS = 6,
    TKIND_UNION = 7,
    TKIND_MAX = 8,
};

enum TYPEFLAGS : WORD {
    TYPEFLAG_FAPPOBJECT = 0x1,
    TYPEFLAG_FCANCREATE = 0x2,
    TYPEFLAG_FLICENSED = 0x4,
    TYPEFLAG_FPREDECLID = 0x8,
    TYPEFLAG_FHIDDEN = 0x10,
    TYPEFLAG_FCONTROL = 0x20,
    TYPEFLAG_FDUAL = 0x40,
    TYPEFLAG_FNONEXTENSIBLE = 0x80,
    TYPEFLAG_FOLEAUTOMATION = 0x100,
    TYPEFLAG_FRESTRICTED = 0x200,
    TYPEFLAG_FAGGREGATABLE = 0x400,
    TYPEFLAG_FREPLACEABLE = 0x800,
    TYPEFLAG_FDISPATCHABLE = 0x1000,
    TYPEFLAG_FREVERSEBIND = 0x2000,
    TYPEFLAG_FPROXY = 0x4000,
};

enum IMPLTYPEFLAGS : int {
    IMPLTYPEFLAG_FDEFAULT = 0x1,
    IMPLTYPEFLAG_FSOURCE = 0x2,
    IMPLTYPEFLAG_FRESTRICTED = 0x4,
    IMPLTYPEFLAG_FDEFAULTVTABLE = 0x8,
};

enum FUNCKIND : int {
    FUNC_VIRTUAL = 0,
    FUNC_PUREVIRTUAL = 1,
    FUNC_NONVIRTUAL = 2,
    FUNC_STATIC = 3,
    FUNC_DISPATCH = 4,
};

enum INVOKEKIND : int {
    INVOKE_FUNC = 1,
    INVOKE_PROPERTYGET = 2,
    INVOKE_PROPERTYPUT = 4,
    INVOKE_PROPERTYPUTREF = 8,
};

enum CALLCONV : int {
    CC_FASTCALL = 0,
    CC_CDECL = 1,
    CC_PASCAL = 2,
    CC_MACPASCAL = 3,
    CC_STDCALL = 4,
};

inline constexpr USHORT PARAMFLAG_NONE = 0x0;
inline constexpr USHORT PARAMFLAG_FIN = 0x1;
inline constexpr USHORT PARAMFLAG_FOUT = 0x2;
inline constexpr USHORT PARAMFLAG_FLCID = 0x4;
inline constexpr USHORT PARAMFLAG_FRETVAL = 0x8;
inline constexpr USHORT PARAMFLAG_FOPT = 0x10;

struct TYPEDESC {
    union {
        TYPEDESC* lptdesc;  // VT_PTR: what it points to
        HREFTYPE hreftype;  // VT_USERDEFINED
    };
    VARTYPE vt;
};

struct IDLDESC {
    ULONG_PTR dwReserved;
    USHORT wIDLFlags;
};

struct PARAMDESC {
    void* pparamdescex;
    USHORT wParamFlags;
};

struct ELEMDESC {
    TYPEDESC tdesc;
    union {
        IDLDESC idldesc;
        PARAMDESC paramdesc;
    };
};

struct TLIBATTR {
    GUID guid;
    LCID lcid;
    SYSKIND syskind;
    WORD wMajorVerNum;
    WORD wMinorVerNum;
    WORD wLibFlags;
};

struct TYPEATTR {
    GUID guid;
    LCID lcid;
    DWORD dwReserved;
    MEMBERID memidConstructor;
    MEMBERID memidDestructor;
    LPOLESTR lpstrSchema;
    ULONG cbSizeInstance;
    TYPEKIND typekind;
    WORD cFuncs;
    WORD cVars;
    WORD cImplTypes;
    WORD cbSizeVft;
    WORD cbAlignment;
    WORD wTypeFlags;
    WORD wMajorVerNum;
    WORD wMinorVerNum;
    TYPEDESC tdescAlias;
    IDLDESC idldescType;
};

struct FUNCDESC {
    MEMBERID memid;
    SCODE* lprgscode;
    ELEMDESC* lprgelemdescParam;
    FUNCKIND funckind;
    INVOKEKIND invkind;
    CALLCONV callconv;
    SHORT cParams;
    SHORT cParamsOpt;
    SHORT oVft;
    SHORT cScodes;
    ELEMDESC elemdescFunc;
    WORD wFuncFlags;
};

struct ITypeLib;

struct ITypeInfo : IUnknown {
    static constexpr IID kIid = platform::com::MakeGuid("{00020401-0000-0000-C000-000000000046}");
    using Base = IUnknown;

    // The attributes of the type; release with ReleaseTypeAttr.
    virtual HRESULT GetTypeAttr(TYPEATTR** ppTypeAttr) = 0;
    // The function at `index`; release with ReleaseFuncDesc.
    virtual HRESULT GetFuncDesc(UINT index, FUNCDESC** ppFuncDesc) = 0;
    // The member's name, then its parameters' names.
    virtual HRESULT GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames, UINT* pcNames) = 0;
    virtual HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* pRefType) = 0;
    virtual HRESULT GetImplTypeFlags(UINT index, INT* pImplTypeFlags) = 0;
    // The member's identifier, then its named parameters' positions.
    virtual HRESULT GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) = 0;
    // MEMBERID_NIL: the type itself. Any out-pointer may be null.
    virtual HRESULT GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString,
                                     DWORD* pdwHelpContext, BSTR* pBstrHelpFile) = 0;
    virtual HRESULT GetRefTypeInfo(HREFTYPE hRefType, ITypeInfo** ppTInfo) = 0;
    virtual HRESULT GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) = 0;
    virtual void ReleaseTypeAttr(TYPEATTR* pTypeAttr) = 0;
    virtual void ReleaseFuncDesc(FUNCDESC* pFuncDesc) = 0;

protected:
    ~ITypeInfo() = default;
};
using LPTYPEINFO = ITypeInfo*;
inline constexpr IID IID_ITypeInfo = ITypeInfo::kIid;

struct ITypeLib : IUnknown {
    static constexpr IID kIid = platform::com::MakeGuid("{00020402-0000-0000-C000-000000000046}");
    using Base = IUnknown;

    virtual UINT GetTypeInfoCount() = 0;
    virtual HRESULT GetTypeInfo(UINT index, ITypeInfo** ppTInfo) = 0;
    virtual HRESULT GetTypeInfoType(UINT index, TYPEKIND* pTKind) = 0;
    virtual HRESULT GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** ppTinfo) = 0;
    // The library's attributes; release with ReleaseTLibAttr.
    virtual HRESULT GetLibAttr(TLIBATTR** ppTLibAttr) = 0;
    // index -1: the library itself. Any out-pointer may be null.
    virtual HRESULT GetDocumentation(INT index, BSTR* pBstrName, BSTR* pBstrDocString,
                                     DWORD* pdwHelpContext, BSTR* pBstrHelpFile) = 0;
    // Whether a type or member of the library has this name, in any case.
    virtual HRESULT IsName(LPOLESTR szNameBuf, ULONG lHashVal, BOOL* pfName) = 0;
    virtual void ReleaseTLibAttr(TLIBATTR* pTLibAttr) = 0;

protected:
    ~ITypeLib() = default;
};
using LPTYPELIB = ITypeLib*;
inline constexpr IID IID_ITypeLib = ITypeLib::kIid;

// The identifier of the standard automation library "stdole2.tlb" that
// libraries import for IUnknown and IDispatch.
inline constexpr GUID LIBID_STDOLE2 =
    platform::com::MakeGuid("{00020430-0000-0000-C000-000000000046}");

// Loads a type library file. TYPE_E_CANTLOADLIBRARY when it cannot be read,
// TYPE_E_UNSUPFORMAT when it is not a library of a format version this layer
// reads, TYPE_E_INVDATAREAD when it is damaged.
HRESULT LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib);

// Loads the registered library `rguid` of major version `wVerMajor` and at
// least minor version `wVerMinor`, for the locale (falling back to its
// language, then to the neutral locale). TYPE_E_LIBNOTREGISTERED when none is.
HRESULT LoadRegTypeLib(REFGUID rguid, WORD wVerMajor, WORD wVerMinor, LCID lcid, ITypeLib** pptlib);

// Records that the library lives in the file `szFullPath`, under its own
// identifier, version and locale. The help folder is not kept.
HRESULT RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir);
HRESULT UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid,
                          SYSKIND syskind);
// The file a registered library lives in.
HRESULT QueryPathOfRegTypeLib(REFGUID guid, USHORT wMaj, USHORT wMin, LCID lcid,
                              BSTR* lpbstrPathName);

namespace platform::com {

// Largest type library image this layer reads.
inline constexpr std::size_t kMaxTypeLibImage = 1 << 20;

// Loads a type library from its image in memory; the bytes are copied.
HRESULT LoadTypeLibFromImage(std::span<const BYTE> image, ITypeLib** pptlib);

}  // namespace platform::com
