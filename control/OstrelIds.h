#pragma once
// The control shell's identifiers and its version, the same wherever they are
// used: type library, registration, control, factories.

#include "platform/com/Guid.h"

inline constexpr GUID LIBID_OSTRELLib =
    platform::com::MakeGuid("{3C008A3A-06B6-463F-B7CA-9B31246C2D35}");
inline constexpr IID IID__DOstrel =
    platform::com::MakeGuid("{9F9F2B40-42E4-4D92-8AAC-4632A362A0C7}");
inline constexpr IID IID__DOstrelEvents =
    platform::com::MakeGuid("{AB3501C8-8B2C-4B57-A9A3-F61BD8067FD2}");
inline constexpr CLSID CLSID_Ostrel =
    platform::com::MakeGuid("{E6E5ABD4-308F-4ACA-AE96-17A8D3215773}");
inline constexpr CLSID CLSID_OstrelPropPage =
    platform::com::MakeGuid("{9AB6DC42-9D93-40C7-937D-52022B7F2080}");
// The signer, an automation object of the same module and library.
inline constexpr IID IID__DOstrelSigner =
    platform::com::MakeGuid("{C9DF0E1A-0557-49C7-B52E-1F1689153CF0}");
inline constexpr CLSID CLSID_OstrelSigner =
    platform::com::MakeGuid("{69B4EB1D-5F25-4CBF-B53F-598C8247BAF1}");
inline constexpr char kSignerProgID[] = "OSTREL.Signer.1";
inline constexpr char kSignerVersionIndependentProgID[] = "OSTREL.Signer";

// Version 1.1 of the type library and the control.
inline constexpr WORD g_wVerMajor = 1;
inline constexpr WORD g_wVerMinor = 1;
