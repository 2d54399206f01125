#include "platform/ctl/MemoryStream.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace platform::ctl {
namespace {
// A stream in memory stops growing here rather than exhaust its host.
constexpr std::size_t kMaxBytes = std::size_t(1) << 30;
}  // namespace

com::ComPtr<MemoryStream> MemoryStream::Create(std::vector<BYTE> bytes) {
    return com::ComPtr<MemoryStream>::Attach(new MemoryStream(std::move(bytes)));
}

HRESULT MemoryStream::Read(void* pv, ULONG cb, ULONG* pcbRead) {
    if (pv == nullptr && cb != 0) return HRESULT(E_POINTER);
    const std::size_t left = m_position < m_bytes.size() ? m_bytes.size() - m_position : 0;
    const std::size_t n = std::min<std::size_t>(cb, left);
    if (n != 0) std::memcpy(pv, m_bytes.data() + m_position, n);
    m_position += n;
    if (pcbRead != nullptr) *pcbRead = ULONG(n);
    return S_OK;
}

HRESULT MemoryStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten) {
    if (pcbWritten != nullptr) *pcbWritten = 0;
    if (pv == nullptr && cb != 0) return HRESULT(E_POINTER);
    if (m_position > kMaxBytes || cb > kMaxBytes - m_position) return STG_E_MEDIUMFULL;
    try {
        if (m_position + cb > m_bytes.size()) m_bytes.resize(m_position + cb);
    } catch (const std::bad_alloc&) {
        return STG_E_MEDIUMFULL;
    }
    if (cb != 0) std::memcpy(m_bytes.data() + m_position, pv, cb);
    m_position += cb;
    if (pcbWritten != nullptr) *pcbWritten = cb;
    return S_OK;
}

HRESULT MemoryStream::Seek(std::int64_t dlibMove, DWORD dwOrigin, std::uint64_t* plibNewPosition) {
    std::int64_t base = 0;
    switch (dwOrigin) {
        case STREAM_SEEK_SET:
            base = 0;
            break;
        case STREAM_SEEK_CUR:
            base = std::int64_t(m_position);
            break;
        case STREAM_SEEK_END:
            base = std::int64_t(m_bytes.size());
            break;
        default:
            return HRESULT(E_INVALIDARG);
    }
    if (dlibMove < -base || dlibMove > std::int64_t(kMaxBytes)) return HRESULT(E_INVALIDARG);
    m_position = std::size_t(base + dlibMove);
    if (plibNewPosition != nullptr) *plibNewPosition = m_position;
    return S_OK;
}

}  // namespace platform::ctl
