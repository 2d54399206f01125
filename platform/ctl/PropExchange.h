#pragma once
// Property exchange: a control lists its persistent properties once, in
// DoPropExchange, and the framework runs that list to load them, save them or
// reset them to their defaults, whatever the host keeps them in.
//
//   void CMyCtrl::DoPropExchange(CPropExchange* pPX) {
//       ExchangeVersion(pPX, MAKELONG(1, 2));
//       COleControl::DoPropExchange(pPX);
//       PX_String(pPX, "Caption", m_strCaption, "untitled");
//   }

#include <string>
#include <vector>

#include "platform/com/Variant.h"
#include "platform/ctl/OleInterfaces.h"
#include "platform/text/CString.h"

constexpr DWORD MAKELONG(WORD low, WORD high) {
    return DWORD(low) | DWORD(high) << 16;
}

class CPropExchange {
public:
    virtual ~CPropExchange() = default;
    CPropExchange(const CPropExchange&) = delete;
    CPropExchange& operator=(const CPropExchange&) = delete;

    BOOL IsLoading() const { return m_bLoading; }
    // The version stamp of the state being exchanged.
    DWORD GetVersion() const { return m_dwVersion; }

    // The version stamp "_Version". Loading: the stored stamp (the default
    // when there is none) becomes `dwVersionLoaded`. Saving: the default is
    // written when `bConvert`, otherwise the version that was loaded.
    virtual BOOL ExchangeVersion(DWORD& dwVersionLoaded, DWORD dwVersionDefault, BOOL bConvert);

    // One property; `pvProp` points to a SHORT (VT_I2), LONG (VT_I4), ULONG
    // (VT_UI4), BOOL (VT_BOOL) or CString (VT_BSTR). Loading a property that
    // is missing or cannot be converted gives it the default (when there is
    // one) and answers FALSE.
    virtual BOOL ExchangeProp(LPCTSTR pszPropName, VARTYPE vtProp, void* pvProp,
                              const void* pvDefault = nullptr) = 0;

protected:
    explicit CPropExchange(BOOL bLoading) : m_bLoading(bLoading) {}

    BOOL m_bLoading;
    DWORD m_dwVersion = 0;
};

BOOL PX_Short(CPropExchange* pPX, LPCTSTR pszPropName, SHORT& sValue);
BOOL PX_Short(CPropExchange* pPX, LPCTSTR pszPropName, SHORT& sValue, SHORT sDefault);
BOOL PX_Long(CPropExchange* pPX, LPCTSTR pszPropName, LONG& lValue);
BOOL PX_Long(CPropExchange* pPX, LPCTSTR pszPropName, LONG& lValue, LONG lDefault);
BOOL PX_ULong(CPropExchange* pPX, LPCTSTR pszPropName, ULONG& ulValue);
BOOL PX_ULong(CPropExchange* pPX, LPCTSTR pszPropName, ULONG& ulValue, ULONG ulDefault);
BOOL PX_Bool(CPropExchange* pPX, LPCTSTR pszPropName, BOOL& bValue);
BOOL PX_Bool(CPropExchange* pPX, LPCTSTR pszPropName, BOOL& bValue, BOOL bDefault);
BOOL PX_String(CPropExchange* pPX, LPCTSTR pszPropName, CString& strValue);
BOOL PX_String(CPropExchange* pPX, LPCTSTR pszPropName, CString& strValue,
               const CString& strDefault);

namespace platform::ctl {

// A property of a saved state: its name and its value.
struct StateProperty {
    std::string name;
    com::Variant value;
};
using StateProperties = std::vector<StateProperty>;

// The property with this name (names compare without regard to ASCII case,
// as hosts have always treated them), or null.
const StateProperty* FindProperty(const StateProperties& props, std::string_view name);

// Gives every property its default: the state of a new control.
class ResetPropExchange final : public CPropExchange {
public:
    ResetPropExchange() : CPropExchange(TRUE) {}
    BOOL ExchangeProp(LPCTSTR pszPropName, VARTYPE vtProp, void* pvProp,
                      const void* pvDefault) override;
};

// Loads from a list of properties, or saves into one (the contents of the
// binary form).
class ListPropExchange final : public CPropExchange {
public:
    ListPropExchange(StateProperties& props, BOOL bLoading)
        : CPropExchange(bLoading), m_props(props) {}
    BOOL ExchangeProp(LPCTSTR pszPropName, VARTYPE vtProp, void* pvProp,
                      const void* pvDefault) override;

private:
    StateProperties& m_props;
};

// Loads from or saves to a host's property bag.
class BagPropExchange final : public CPropExchange {
public:
    BagPropExchange(IPropertyBag* pBag, IErrorLog* pLog, BOOL bLoading)
        : CPropExchange(bLoading), m_pBag(pBag), m_pLog(pLog) {}
    BOOL ExchangeProp(LPCTSTR pszPropName, VARTYPE vtProp, void* pvProp,
                      const void* pvDefault) override;
    // The first failure of the bag while saving; S_OK when there was none.
    HRESULT Result() const { return m_hr; }

private:
    IPropertyBag* m_pBag;
    IErrorLog* m_pLog;
    HRESULT m_hr = S_OK;
};

// The property as a value of its type; E_INVALIDARG for a type exchange does
// not know.
HRESULT PropertyToVariant(VARTYPE vtProp, const void* pvProp, com::Variant& out);
// Stores a value into the property, converted to its type.
HRESULT PropertyFromVariant(const VARIANT& value, VARTYPE vtProp, void* pvProp);

}  // namespace platform::ctl
