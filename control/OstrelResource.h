#pragma once
// Identifiers of the module's resources: the product's dialog templates,
// their controls, its strings and its pictures. The build writes the
// resources under these identifiers (OstrelResourceScript.cpp); the product
// asks for them by identifier.

// The module's name, which its message boxes carry as their caption: the
// name its module object gives the framework (OstrelModule.cpp).
inline constexpr char kOstrelModuleName[] = "OSTREL";

// Dialog templates.
inline constexpr int IDD_ABOUTBOX = 1;
inline constexpr int IDD_PROPPAGE = 200;
inline constexpr int IDD_SELECT_CERT = 201;

// Controls of the certificate chooser.
inline constexpr int IDC_CERT_LIST = 201;
inline constexpr int IDC_ISSUER = 203;
inline constexpr int IDC_EMAIL = 204;
inline constexpr int IDC_MESSAGE = 206;
inline constexpr int IDC_MESSAGE_LABEL = 207;
inline constexpr int IDC_STATIC = -1;

// Strings.
inline constexpr int IDS_CONTROL_NAME = 1;
inline constexpr int IDS_PROPPAGE_NAME = 2;
inline constexpr int IDS_PROPPAGE_CAPTION = 200;

// Bitmaps.
inline constexpr int IDB_TOOLBOX = 1;
inline constexpr int IDB_LOGO = 203;
inline constexpr int IDB_BANNER = 205;
