#include "platform/ctl/StateStream.h"

#include <array>
#include <cstring>

#include "platform/text/Utf.h"

namespace platform::ctl {
namespace {

constexpr BYTE kMagic[4] = {'O', 'C', 'S', 'T'};
constexpr WORD kFormatVersion = 1;

std::uint32_t Crc32(std::span<const BYTE> data) {
    static const auto kTable = [] {
        std::array<std::uint32_t, 256> table{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
        return table;
    }();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (BYTE b : data) crc = kTable[(crc ^ b) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

void Put16(std::vector<BYTE>& out, std::uint16_t v) {
    out.push_back(BYTE(v & 0xFF));
    out.push_back(BYTE(v >> 8));
}

void Put32(std::vector<BYTE>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(BYTE((v >> (8 * i)) & 0xFF));
}

std::uint16_t Get16(std::span<const BYTE> b, std::size_t at) {
    return std::uint16_t(b[at] | b[at + 1] << 8);
}

std::uint32_t Get32(std::span<const BYTE> b, std::size_t at) {
    return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
           std::uint32_t(b[at + 3]) << 24;
}

// Reads the properties, every read checked against what is left.
class Reader {
public:
    explicit Reader(std::span<const BYTE> bytes) : m_bytes(bytes) {}
    bool Has(std::size_t n) const { return m_bytes.size() - m_at >= n; }
    bool AtEnd() const { return m_at == m_bytes.size(); }
    bool Byte(BYTE& v) {
        if (!Has(1)) return false;
        v = m_bytes[m_at++];
        return true;
    }
    bool U16(std::uint16_t& v) {
        if (!Has(2)) return false;
        v = Get16(m_bytes, m_at);
        m_at += 2;
        return true;
    }
    bool U32(std::uint32_t& v) {
        if (!Has(4)) return false;
        v = Get32(m_bytes, m_at);
        m_at += 4;
        return true;
    }
    bool Text(std::size_t n, std::string& v) {
        if (!Has(n)) return false;
        v.assign(reinterpret_cast<const char*>(m_bytes.data() + m_at), n);
        m_at += n;
        return com::IsValidUtf8(v) && v.find('\0') == std::string::npos;
    }

private:
    std::span<const BYTE> m_bytes;
    std::size_t m_at = 0;
};

bool ReadValue(Reader& r, VARTYPE vt, com::Variant& value) {
    switch (vt) {
        case VT_I2: {
            std::uint16_t v = 0;
            if (!r.U16(v)) return false;
            value = com::Variant::I2(static_cast<SHORT>(v));
            return true;
        }
        case VT_BOOL: {
            std::uint16_t v = 0;
            if (!r.U16(v) || (v != 0 && v != 0xFFFF)) return false;
            value = com::Variant::Bool(v != 0);
            return true;
        }
        case VT_I4: {
            std::uint32_t v = 0;
            if (!r.U32(v)) return false;
            value = com::Variant::I4(static_cast<LONG>(v));
            return true;
        }
        case VT_UI4: {
            std::uint32_t v = 0;
            if (!r.U32(v)) return false;
            com::Variant u;
            u.Raw().vt = VT_UI4;
            u.Raw().ulVal = v;
            value = u;
            return true;
        }
        case VT_BSTR: {
            std::uint32_t length = 0;
            std::string text;
            if (!r.U32(length) || length > kMaxStateStringLength || !r.Text(length, text))
                return false;
            value = com::Variant::Str(text);
            return value.Type() == VT_BSTR && value.Raw().bstrVal != nullptr;
        }
        default:
            return false;
    }
}

HRESULT CheckHeader(std::span<const BYTE> header, std::uint32_t& count, std::uint32_t& length) {
    if (header.size() < kStateHeaderSize || std::memcmp(header.data(), kMagic, 4) != 0)
        return STG_E_INVALIDHEADER;
    const std::uint16_t version = Get16(header, 4);
    if (version > kFormatVersion) return STG_E_OLDDLL;
    if (version != kFormatVersion || Get16(header, 6) != 0) return STG_E_DOCFILECORRUPT;
    count = Get32(header, 8);
    length = Get32(header, 12);
    if (count > kMaxStateProperties || length > kMaxStatePayload) return STG_E_DOCFILECORRUPT;
    return S_OK;
}

}  // namespace

HRESULT EncodeState(const StateProperties& props, std::vector<BYTE>& out) {
    if (props.size() > kMaxStateProperties) return HRESULT(E_INVALIDARG);
    std::vector<BYTE> payload;
    for (const StateProperty& p : props) {
        if (p.name.empty() || p.name.size() > kMaxStateNameLength || !com::IsValidUtf8(p.name) ||
            p.name.find('\0') != std::string::npos)
            return HRESULT(E_INVALIDARG);
        payload.push_back(BYTE(p.name.size()));
        payload.insert(payload.end(), p.name.begin(), p.name.end());
        const VARIANT& v = p.value.Raw();
        Put16(payload, v.vt);
        switch (v.vt) {
            case VT_I2:
                Put16(payload, std::uint16_t(v.iVal));
                break;
            case VT_BOOL:
                Put16(payload, v.boolVal != VARIANT_FALSE ? 0xFFFF : 0);
                break;
            case VT_I4:
                Put32(payload, std::uint32_t(v.lVal));
                break;
            case VT_UI4:
                Put32(payload, v.ulVal);
                break;
            case VT_BSTR: {
                const auto text = com::Utf16ToUtf8Exact({v.bstrVal, SysStringLen(v.bstrVal)});
                if (!text || text->size() > kMaxStateStringLength) return HRESULT(E_INVALIDARG);
                Put32(payload, std::uint32_t(text->size()));
                payload.insert(payload.end(), text->begin(), text->end());
                break;
            }
            default:
                return HRESULT(E_INVALIDARG);
        }
    }
    if (payload.size() > kMaxStatePayload) return HRESULT(E_INVALIDARG);
    std::vector<BYTE> bytes(std::begin(kMagic), std::end(kMagic));
    Put16(bytes, kFormatVersion);
    Put16(bytes, 0);
    Put32(bytes, std::uint32_t(props.size()));
    Put32(bytes, std::uint32_t(payload.size()));
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    Put32(bytes, Crc32(bytes));
    out = std::move(bytes);
    return S_OK;
}

HRESULT DecodeState(std::span<const BYTE> bytes, StateProperties& out) {
    std::uint32_t count = 0, length = 0;
    if (const HRESULT hr = CheckHeader(bytes, count, length); FAILED(hr)) return hr;
    if (bytes.size() != kStateHeaderSize + length + 4) return STG_E_DOCFILECORRUPT;
    const auto covered = bytes.first(kStateHeaderSize + length);
    if (Crc32(covered) != Get32(bytes, covered.size())) return STG_E_DOCFILECORRUPT;

    Reader r(bytes.subspan(kStateHeaderSize, length));
    StateProperties props;
    for (std::uint32_t i = 0; i < count; ++i) {
        BYTE nameLength = 0;
        std::string name;
        std::uint16_t vt = 0;
        StateProperty p;
        if (!r.Byte(nameLength) || nameLength == 0 || !r.Text(nameLength, name) || !r.U16(vt) ||
            !ReadValue(r, vt, p.value) || FindProperty(props, name) != nullptr)
            return STG_E_DOCFILECORRUPT;
        p.name = std::move(name);
        props.push_back(std::move(p));
    }
    if (!r.AtEnd()) return STG_E_DOCFILECORRUPT;
    out = std::move(props);
    return S_OK;
}

HRESULT ReadState(IStream* pStm, StateProperties& out) {
    if (pStm == nullptr) return HRESULT(E_POINTER);
    // Reads exactly n bytes; a stream that ends before is damaged.
    const auto readExactly = [pStm](BYTE* into, std::size_t n) -> HRESULT {
        std::size_t done = 0;
        while (done < n) {
            ULONG got = 0;
            const HRESULT hr = pStm->Read(into + done, ULONG(n - done), &got);
            if (FAILED(hr)) return hr;
            if (got == 0 || got > n - done) return STG_E_DOCFILECORRUPT;
            done += got;
        }
        return S_OK;
    };
    std::vector<BYTE> bytes(kStateHeaderSize);
    if (const HRESULT hr = readExactly(bytes.data(), kStateHeaderSize); FAILED(hr))
        return hr == STG_E_DOCFILECORRUPT ? STG_E_INVALIDHEADER : hr;
    std::uint32_t count = 0, length = 0;
    if (const HRESULT hr = CheckHeader(bytes, count, length); FAILED(hr)) return hr;
    bytes.resize(kStateHeaderSize + length + 4);
    if (const HRESULT hr = readExactly(bytes.data() + kStateHeaderSize, length + 4); FAILED(hr))
        return hr;
    return DecodeState(bytes, out);
}

HRESULT WriteState(IStream* pStm, const StateProperties& props) {
    if (pStm == nullptr) return HRESULT(E_POINTER);
    std::vector<BYTE> bytes;
    if (const HRESULT hr = EncodeState(props, bytes); FAILED(hr)) return hr;
    std::size_t done = 0;
    while (done < bytes.size()) {
        ULONG written = 0;
        const HRESULT hr = pStm->Write(bytes.data() + done, ULONG(bytes.size() - done), &written);
        if (FAILED(hr)) return hr;
        if (written == 0 || written > bytes.size() - done) return STG_E_MEDIUMFULL;
        done += written;
    }
    return S_OK;
}

}  // namespace platform::ctl
