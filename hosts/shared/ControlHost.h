#pragma once
// How every command reaches the control: as any host does, through the
// registered class and its interfaces only. The program carries no control of
// its own; where the class is not registered it uses the module installed
// beside it, loaded the same way, so that `ostrel sign` works before (and
// after) the user registers anything.

#include <optional>
#include <string>
#include <vector>

#include "platform/com/Activation.h"
#include "platform/com/ComError.h"
#include "platform/com/Guid.h"
#include "platform/com/Variant.h"

namespace ostrel::cli {

inline constexpr const char* kDefaultProgId = "OSTREL.OstrelCtrl.1";
// The module's second class: the automation object that signs with a choice
// of digest, padding and format (not a control).
inline constexpr const char* kSignerProgId = "OSTREL.Signer.1";
inline constexpr CLSID kSignerClsid =
    platform::com::MakeGuid("{69B4EB1D-5F25-4CBF-B53F-598C8247BAF1}");

// The module file installed beside this program.
std::string ModuleBesideProgram();

// "0x80040154" and, where it has one, its name: "0x80040154 REGDB_E_CLASSNOTREG".
std::string Hex(HRESULT hr);
std::string Described(HRESULT hr);

// How to put a damaged registry right: the command that moves it aside.
std::string RepairAdvice();
// Failure when the registry cannot be used (damaged, with RepairAdvice, or
// open to other users, with the fix), so that no command takes such a
// registry for one without registrations.
void CheckRegistry();
// An activation failure in words: the code, why activation gave it, and
// RepairAdvice when the registry is damaged.
std::string ActivationFailure(HRESULT hr);

// A new control (its IUnknown) from the registered class of the program
// identifier; from the module beside the program when that identifier is not
// registered. A registration that names a module which cannot be used, and a
// registry that cannot be used, are reported (Failure), never passed over.
platform::com::ComPtr<IUnknown> CreateControl();
// The same for the module's other classes: the class registered as `progId`,
// or else class `clsid` from the module beside the program. `what` names the
// object in messages ("the control", "the signer").
platform::com::ComPtr<IUnknown> CreateObject(const char* progId, const CLSID& clsid,
                                             const std::string& what);
// A new signer (OSTREL.Signer.1), found as CreateControl finds the control.
platform::com::ComPtr<IUnknown> CreateSigner();

// The control's interface `I`, or Failure naming what is missing.
template <class I>
platform::com::ComPtr<I> Query(const platform::com::ComPtr<IUnknown>& control, const char* name);

// Invokes the method `dispid` with the arguments given in order; the result
// code, and on a failure the object's own words in `description` and, for
// DISP_E_EXCEPTION, the code of the exception it raised in `scode` (0 when it
// gave none).
HRESULT InvokeById(IDispatch* dispatch, DISPID dispid, std::vector<platform::com::Variant>& args,
                   platform::com::Variant& result, std::string* description = nullptr,
                   HRESULT* scode = nullptr);

// Calls a method late-bound, as scripts do: its identifier by name, then
// Invoke with the arguments given in order. Failure when the call fails.
platform::com::Variant InvokeMethod(const platform::com::ComPtr<IUnknown>& control,
                                    const std::string& method,
                                    std::vector<platform::com::Variant> args);

// Creates the control, calls one method as above, and lets the control and
// its module go: what a command that needs one answer of the control does.
platform::com::Variant CallControl(const std::string& method,
                                   std::vector<platform::com::Variant> args);

// Creates a signer, calls one of its methods by name and lets it go. A
// failure the object describes is a Failure with its description as the
// text ("Sign: <description>") and its exception's code as the result code
// (E_INVALIDARG for options it refuses).
platform::com::Variant CallSigner(const std::string& method,
                                  std::vector<platform::com::Variant> args);

// A method's result as the type it is declared with; Failure when the control
// answered with another type. A text result is nothing for the null string.
std::optional<std::string> TextResult(const platform::com::Variant& result);
bool BoolResult(const platform::com::Variant& result);
LONG LongResult(const platform::com::Variant& result);

// Lets go of the modules no control of theirs needs any more.
void ReleaseControlModules();

}  // namespace ostrel::cli

#include "hosts/shared/Failure.h"

template <class I>
platform::com::ComPtr<I> ostrel::cli::Query(const platform::com::ComPtr<IUnknown>& control,
                                            const char* name) {
    platform::com::ComPtr<I> out = control.As<I>();
    if (!out) throw Failure(std::string("the control does not offer ") + name, E_NOINTERFACE);
    return out;
}
