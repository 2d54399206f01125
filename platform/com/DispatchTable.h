#pragma once
// The framework's automation: a class describes the members it offers to
// automation clients in a dispatch table (name, identifier, parameter types,
// result type, member), and calls by name or identifier go through the table.
//
//   const DispatchTable& CMyCtrl::Table() {
//       static constexpr DispatchEntry kEntries[] = {
//           DISP_FUNCTION(CMyCtrl, "Sign", Sign, VT_BSTR, VTS_BSTR VTS_I4),
//           DISP_FUNCTION_ID(CMyCtrl, "AboutBox", DISPID_ABOUTBOX, AboutBox, VT_EMPTY, VTS_NONE),
//       };
//       static constexpr DispatchTable kTable = MakeDispatchTable<CMyCtrl>(kEntries);
//       return kTable;
//   }
//
// A member receives an 8-bit string (UTF-8, NUL-terminated, owned by the
// framework for the call) for VTS_BSTR, and integers for VTS_I2, VTS_I4 and
// VTS_BOOL. It returns a BSTR (whose ownership passes to the caller), a
// 32-bit truth value, an integer, or nothing, as its result type says.

#include <cstdint>
#include <exception>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include "platform/com/Dispatch.h"
#include "platform/com/Variant.h"

// Parameter-type strings: one byte per parameter, concatenated.
#define VTS_NONE ""
#define VTS_I2 "\x02"
#define VTS_I4 "\x03"
#define VTS_BOOL "\x0B"
#define VTS_BSTR "\x0E"  // an 8-bit string parameter

namespace platform::com {

inline constexpr char kVtsI2 = 0x02;
inline constexpr char kVtsI4 = 0x03;
inline constexpr char kVtsBool = 0x0B;
inline constexpr char kVtsBstr = 0x0E;

// An argument converted for the member.
struct DispatchArg {
    std::string text;  // VTS_BSTR
    LONG value = 0;    // VTS_I2, VTS_I4, VTS_BOOL
};

// What the member returned, before it becomes the caller's VARIANT.
struct DispatchReturn {
    BSTR text = nullptr;     // a BSTR result, owned until handed over
    std::int64_t value = 0;  // an integer or truth-value result
};

// The object a table's members are called on, with its exact class.
struct DispatchObject {
    void* pointer = nullptr;
    const std::type_info* type = nullptr;
};
template <class T>
DispatchObject MakeDispatchObject(T& object) {
    return {static_cast<void*>(&object), &typeid(T)};
}

// The object as its most derived class: for a polymorphic base class that
// calls the table of whichever class derives from it.
template <class T>
requires std::is_polymorphic_v<T> DispatchObject MakeDynamicDispatchObject(T& object) {
    return {dynamic_cast<void*>(&object), &typeid(object)};
}

using DispatchThunk = void (*)(void* object, std::span<DispatchArg> args, DispatchReturn& result);

struct DispatchEntry {
    const char* lpszName;
    DISPID lDispID;          // DISPID_UNKNOWN: the entry's 1-based position in its table
    const char* lpszParams;  // VTS_ bytes
    VARTYPE vt;              // result: VT_EMPTY, VT_I2, VT_I4, VT_BOOL or VT_BSTR
    DispatchThunk pfn;
};

struct DispatchTable {
    const DispatchTable* pBaseTable;    // searched after this one; may be null
    const std::type_info* pObjectType;  // the class the members belong to
    std::span<const DispatchEntry> entries;
};

// The framework's command-target table: the base of every class's table, empty.
inline constexpr DispatchTable kCmdTargetDispatchTable{nullptr, nullptr, {}};
inline const DispatchTable& CmdTargetDispatchTable() {
    return kCmdTargetDispatchTable;
}

namespace detail {

template <class M>
struct MemberTraits;
template <class C, class R, class... A>
struct MemberTraits<R (C::*)(A...)> {
    using Class = C;
    using Result = R;
    using Args = std::tuple<A...>;
};

template <class A>
constexpr bool ParamMatches(char code) {
    if constexpr (std::is_same_v<A, const char*>)
        return code == kVtsBstr;
    else if constexpr (std::is_same_v<A, short>)
        return code == kVtsI2;
    else if constexpr (std::is_integral_v<A> && !std::is_same_v<A, bool> && sizeof(A) >= 4)
        return code == kVtsI4 || code == kVtsBool;
    else
        return false;
}

template <class R>
constexpr bool ResultMatches(VARTYPE vt) {
    if constexpr (std::is_void_v<R>)
        return vt == VT_EMPTY;
    else if constexpr (std::is_same_v<R, BSTR>)
        return vt == VT_BSTR;
    else if constexpr (std::is_integral_v<R> && !std::is_same_v<R, bool>)
        return vt == VT_I4 || vt == VT_BOOL || vt == VT_I2;
    else
        return false;
}

template <class A>
A ArgAs(DispatchArg& arg) {
    if constexpr (std::is_same_v<A, const char*>)
        return arg.text.c_str();
    else
        return static_cast<A>(arg.value);
}

template <auto Member>
void CallMember(void* object, std::span<DispatchArg> args, DispatchReturn& result) {
    using Traits = MemberTraits<decltype(Member)>;
    using Args = typename Traits::Args;
    auto& target = *static_cast<typename Traits::Class*>(object);
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        if constexpr (std::is_void_v<typename Traits::Result>)
            (target.*Member)(ArgAs<std::tuple_element_t<I, Args>>(args[I])...);
        else if constexpr (std::is_same_v<typename Traits::Result, BSTR>)
            result.text = (target.*Member)(ArgAs<std::tuple_element_t<I, Args>>(args[I])...);
        else
            result.value = static_cast<std::int64_t>(
                (target.*Member)(ArgAs<std::tuple_element_t<I, Args>>(args[I])...));
    }
    (std::make_index_sequence<std::tuple_size_v<Args>>{});
}

void DispatchEntryDoesNotMatchItsMember();  // never defined: a mismatch does not compile

}  // namespace detail

// An entry whose parameter-type string and result type are checked, when the
// table is compiled, against the member's own signature.
template <auto Member>
consteval DispatchEntry MakeDispatchEntry(const char* name, DISPID dispid, VARTYPE vt,
                                          const char* params) {
    using Traits = detail::MemberTraits<decltype(Member)>;
    using Args = typename Traits::Args;
    std::size_t n = 0;
    while (params[n] != 0) ++n;
    bool ok = n == std::tuple_size_v<Args> && detail::ResultMatches<typename Traits::Result>(vt);
    if (ok) {
        ok = [&]<std::size_t... I>(std::index_sequence<I...>) {
            return (detail::ParamMatches<std::tuple_element_t<I, Args>>(params[I]) && ...);
        }
        (std::make_index_sequence<std::tuple_size_v<Args>>{});
    }
    if (!ok) detail::DispatchEntryDoesNotMatchItsMember();
    return {name, dispid, params, vt, &detail::CallMember<Member>};
}

template <class T, std::size_t N>
constexpr DispatchTable MakeDispatchTable(const DispatchEntry (&entries)[N],
                                          const DispatchTable* base = &kCmdTargetDispatchTable) {
    return {base, &typeid(T), std::span<const DispatchEntry>(entries, N)};
}

// The identifier of a table entry: its own, or its position (1-based; tables
// of base classes add their depth in the high word).
DISPID DispIdOfEntry(const DispatchTable& table, std::size_t index, int depth = 0);

// Looks a name up (ignoring case): DISPID_UNKNOWN when the table has none.
DISPID FindDispId(const DispatchTable& table, std::u16string_view name);

// IDispatch::GetIDsOfNames over a table. The first name is the member's;
// named parameters are not supported, so the names after it are unknown.
// Unknown names get DISPID_UNKNOWN and DISP_E_UNKNOWNNAME; the others are
// still filled.
HRESULT GetIDsOfNamesFromTable(const DispatchTable& table, REFIID riid, LPOLESTR* rgszNames,
                               UINT cNames, DISPID* rgDispId);

// IDispatch::Invoke over a table, calling the member on `object`. Never
// throws: what the member throws becomes DISP_E_EXCEPTION with `pExcepInfo`
// filled.
HRESULT InvokeFromTable(const DispatchTable& table, DispatchObject object, DISPID dispIdMember,
                        REFIID riid, WORD wFlags, DISPPARAMS* pDispParams, VARIANT* pVarResult,
                        EXCEPINFO* pExcepInfo, UINT* puArgErr);

}  // namespace platform::com

// An automation error that a member reports to its caller: Invoke answers
// DISP_E_EXCEPTION with the EXCEPINFO filled from it (its code, its scode
// when the code is 0, and its description).
class COleDispatchException : public std::exception {
public:
    COleDispatchException(LPCSTR lpszDescription, UINT nHelpID, WORD wCode)
        : m_wCode(wCode),
          m_dwHelpContext(nHelpID),
          m_strDescription(lpszDescription == nullptr ? "" : lpszDescription) {}
    const char* what() const noexcept override { return m_strDescription.c_str(); }

    WORD m_wCode;
    SCODE m_scError = 0;  // with m_wCode 0: the error's code; 0 means E_FAIL
    DWORD m_dwHelpContext;
    std::string m_strDescription;
};

#define DISP_FUNCTION_ID(theClass, szExternalName, dispid, pfnMember, vtRetVal, vtsParams)     \
    ::platform::com::MakeDispatchEntry<&theClass::pfnMember>(szExternalName, dispid, vtRetVal, \
                                                             vtsParams)
#define DISP_FUNCTION(theClass, szExternalName, pfnMember, vtRetVal, vtsParams) \
    DISP_FUNCTION_ID(theClass, szExternalName, DISPID_UNKNOWN, pfnMember, vtRetVal, vtsParams)
