#pragma once
// A stream over bytes in memory, for hosts that keep a control's state in a
// file or a buffer of their own.

#include <vector>

#include "platform/ctl/OleInterfaces.h"

namespace platform::ctl {

class MemoryStream final : public com::ComObject<IStream> {
public:
    // A stream holding `bytes`, positioned at its start, with one reference.
    static com::ComPtr<MemoryStream> Create(std::vector<BYTE> bytes = {});

    HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override;
    HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
    HRESULT Seek(std::int64_t dlibMove, DWORD dwOrigin, std::uint64_t* plibNewPosition) override;

    const std::vector<BYTE>& Bytes() const { return m_bytes; }

private:
    explicit MemoryStream(std::vector<BYTE> bytes) : m_bytes(std::move(bytes)) {}

    std::vector<BYTE> m_bytes;
    std::size_t m_position = 0;
};

}  // namespace platform::ctl
