#pragma once
// The binary form of a control's saved state, as a host keeps it in a
// stream. Little-endian throughout:
//
//   header   4  magic "OCST"
//            2  format version (1)
//            2  flags (0)
//            4  number of properties
//            4  length of the properties that follow, in bytes
//   each     1  name length (1 to 255), then the name (UTF-8)
//            2  value type: VT_I2, VT_BOOL (2 bytes), VT_I4, VT_UI4 (4 bytes)
//               or VT_BSTR (4-byte length up to 64 KiB, then UTF-8)
//   trailer  4  CRC-32 of the header and the properties
//
// Every length is checked against the bounds below and against what is
// actually there before anything is read, so that a damaged or hostile state
// is refused whole and never half-loaded.

#include <span>
#include <vector>

#include "platform/ctl/PropExchange.h"

namespace platform::ctl {

inline constexpr std::size_t kStateHeaderSize = 16;
inline constexpr std::size_t kMaxStatePayload = std::size_t(1) << 20;
inline constexpr std::size_t kMaxStateProperties = 1024;
inline constexpr std::size_t kMaxStateNameLength = 255;
inline constexpr std::size_t kMaxStateStringLength = 65536;

// E_INVALIDARG when a name or value cannot be kept in this form.
HRESULT EncodeState(const StateProperties& props, std::vector<BYTE>& out);

// The state that `bytes` hold, exactly: STG_E_INVALIDHEADER when they are not
// a state at all, STG_E_OLDDLL for a newer format, STG_E_DOCFILECORRUPT when
// damaged. `out` is untouched on failure.
HRESULT DecodeState(std::span<const BYTE> bytes, StateProperties& out);

// Reads one state from the stream and nothing after it (the stream may hold
// more); a stream that ends early is damaged.
HRESULT ReadState(IStream* pStm, StateProperties& out);
HRESULT WriteState(IStream* pStm, const StateProperties& props);

}  // namespace platform::ctl
