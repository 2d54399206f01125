#pragma once
// The signature as text: base64 with a line break (CR LF) after the first
// group of four characters and then after every 76, as the control's
// signing methods have always written it.

#include <cstddef>

#include "platform/text/CString.h"
#include "platform/win/WinTypes.h"

CString EncodeSignatureText(const BYTE* data, std::size_t count);
