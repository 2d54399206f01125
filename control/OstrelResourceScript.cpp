// The module's resources as the product writes them. Templates keep the
// control order of their scripts, which is also the creation and tab order.

#include "control/OstrelResourceScript.h"

#include "control/OstrelBitmaps.h"
#include "control/OstrelResource.h"
#include "platform/ui/WinUser.h"

namespace ostrel::resources {
namespace {

using platform::ui::DialogItemTemplate;
using platform::ui::DialogTemplate;

constexpr DialogItemTemplate kAboutBoxItems[] = {
    {WS_CHILD | WS_VISIBLE | SS_BITMAP, 0, 10, 10, 32, 24, IDC_STATIC, WC_STATIC, "", IDB_LOGO},
    {WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT, 0, 43, 10, 170, 8, IDC_STATIC, WC_STATIC,
     "Ostrel Control, Version 1.1", 0},
    {WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT, 0, 42, 25, 170, 8, IDC_STATIC, WC_STATIC,
     "Copyright (C) The Ostrel developers. All rights reserved.", 0},
    {WS_CHILD | WS_VISIBLE | WS_GROUP | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 221, 7, 32, 14, IDOK,
     WC_BUTTON, "OK", 0},
};

constexpr DialogTemplate kAboutBox = {
    WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT,
    0,
    34,
    22,
    260,
    55,
    "About Ostrel Control",
    8,
    "MS Sans Serif",
    kAboutBoxItems,
};

constexpr DialogItemTemplate kPropPageItems[] = {
    {WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT, 0, 7, 25, 229, 16, IDC_STATIC, WC_STATIC,
     "TODO: Place controls to manipulate properties of Ostrel Control on this dialog.", 0},
};

// A page has no frame of its own: the property frame that shows it has.
constexpr DialogTemplate kPropPage = {
    WS_CHILD | DS_SETFONT, 0, 0, 0, 250, 62, "", 8, "MS Sans Serif", kPropPageItems,
};

constexpr DialogItemTemplate kSelectCertItems[] = {
    {WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | WS_TABSTOP | LBS_NOINTEGRALHEIGHT |
         LBS_NOTIFY,
     0, 140, 36, 128, 35, IDC_CERT_LIST, WC_LISTBOX, "", 0},
    {WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 71, 188, 50, 14, IDOK, WC_BUTTON,
     "OK", 0},
    {WS_CHILD | WS_VISIBLE | WS_TABSTOP, 0, 169, 188, 50, 14, IDCANCEL, WC_BUTTON, "Cancel", 0},
    {WS_CHILD | WS_VISIBLE | WS_GROUP | SS_RIGHT, 0, 80, 50, 56, 8, IDC_STATIC, WC_STATIC,
     "Certificate Holder", 0},
    {WS_CHILD | WS_VISIBLE | SS_BITMAP, 0, 26, 3, 32, 30, IDC_STATIC, WC_STATIC, "", IDB_LOGO},
    {WS_CHILD | WS_VISIBLE | WS_BORDER | ES_READONLY | ES_AUTOHSCROLL, 0, 140, 88, 128, 12,
     IDC_ISSUER, WC_EDIT, "", 0},
    {WS_CHILD | WS_VISIBLE | WS_GROUP | SS_RIGHT, 0, 82, 89, 54, 8, IDC_STATIC, WC_STATIC,
     "Certificate Issuer", 0},
    {WS_CHILD | WS_VISIBLE | WS_BORDER | ES_READONLY | ES_AUTOHSCROLL, 0, 140, 73, 128, 12,
     IDC_EMAIL, WC_EDIT, "", 0},
    {WS_CHILD | WS_VISIBLE | WS_GROUP | SS_RIGHT, 0, 101, 76, 36, 8, IDC_STATIC, WC_STATIC,
     "E-Mail ID", 0},
    {WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT, 0, 28, 100, 77, 8, IDC_MESSAGE_LABEL, WC_STATIC,
     "Message To be Signed", 0},
    {WS_CHILD | SS_BITMAP, 0, 57, 3, 210, 25, IDC_STATIC, WC_STATIC, "", IDB_BANNER},
    {WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT, 0, 17, 37, 111, 8, IDC_STATIC, WC_STATIC,
     "Choose a Certificate and Press OK", 0},
    {WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_AUTOHSCROLL | ES_READONLY,
     0, 28, 112, 243, 70, IDC_MESSAGE, RICHEDIT_CLASS10A, "", 0},
    {WS_CHILD | WS_GROUP | SS_LEFT, 0, 71, 206, 147, 8, IDC_STATIC, WC_STATIC,
     "Signatures are made with keys that never leave your personal store.", 0},
};

constexpr DialogTemplate kSelectCert = {
    WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT,
    0,
    0,
    0,
    290,
    218,
    "Select a Certificate",
    8,
    "MS Sans Serif",
    kSelectCertItems,
};

constexpr DialogEntry kDialogs[] = {
    {IDD_ABOUTBOX, &kAboutBox},
    {IDD_PROPPAGE, &kPropPage},
    {IDD_SELECT_CERT, &kSelectCert},
};

constexpr StringEntry kStrings[] = {
    {IDS_CONTROL_NAME, "Ostrel Control"},
    {IDS_PROPPAGE_NAME, "Ostrel Property Page"},
    {IDS_PROPPAGE_CAPTION, "General"},
};

constexpr BitmapEntry kBitmaps[] = {
    {IDB_TOOLBOX, &MakeToolboxBitmap},
    {IDB_LOGO, &MakeLogoBitmap},
    {IDB_BANNER, &MakeBannerBitmap},
};

}  // namespace

std::span<const DialogEntry> Dialogs() {
    return kDialogs;
}

std::span<const StringEntry> Strings() {
    return kStrings;
}

std::span<const BitmapEntry> Bitmaps() {
    return kBitmaps;
}

}  // namespace ostrel::resources
