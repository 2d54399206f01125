#include "platform/text/Bstr.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "platform/seams/Seams.h"
#include "platform/text/Utf.h"

namespace {
// The length prefix sits in the four bytes before the characters.
constexpr std::size_t kPrefix = sizeof(std::uint32_t);

std::uint32_t* PrefixOf(BSTR b) {
    return reinterpret_cast<std::uint32_t*>(reinterpret_cast<char*>(b) - kPrefix);
}
}  // namespace

BSTR SysAllocStringLen(LPCOLESTR strIn, UINT ui) {
    std::uint32_t injected = 0;
    if (platform::seams::Injected("SysAllocStringLen", injected)) return nullptr;
    if (ui > (std::numeric_limits<std::uint32_t>::max() - kPrefix - 2) / 2) return nullptr;
    const std::size_t bytes = std::size_t(ui) * sizeof(OLECHAR);
    auto* block = static_cast<char*>(std::malloc(kPrefix + bytes + sizeof(OLECHAR)));
    if (block == nullptr) return nullptr;
    *reinterpret_cast<std::uint32_t*>(block) = static_cast<std::uint32_t>(bytes);
    auto* chars = reinterpret_cast<OLECHAR*>(block + kPrefix);
    if (strIn != nullptr)
        std::memcpy(chars, strIn, bytes);
    else
        std::memset(chars, 0, bytes);
    chars[ui] = 0;
    platform::seams::CountLive(platform::seams::Live::Bstr, +1);
    return chars;
}

int SysReAllocStringLen(BSTR* pbstr, LPCOLESTR psz, UINT len) {
    std::uint32_t injected = 0;
    if (platform::seams::Injected("SysReAllocStringLen", injected)) return FALSE;
    if (pbstr == nullptr) return FALSE;
    if (*pbstr == nullptr) {
        *pbstr = SysAllocStringLen(psz, len);
        return *pbstr != nullptr ? TRUE : FALSE;
    }
    if (len > (std::numeric_limits<std::uint32_t>::max() - kPrefix - 2) / 2) return FALSE;
    const std::size_t bytes = std::size_t(len) * sizeof(OLECHAR);
    // Characters taken from the old string itself are set aside first: the
    // block they lie in is about to move or shrink.
    const BSTR old = *pbstr;
    std::u16string kept;
    if (psz != nullptr && psz >= old && psz <= old + SysStringLen(old)) {
        kept.assign(psz, std::min<std::size_t>(len, SysStringLen(old) - std::size_t(psz - old)));
        kept.resize(len);
        psz = kept.data();
    }
    // A large block grows by moving its mapping: the characters are not
    // copied and no page the string does not use is touched.
    auto* block =
        static_cast<char*>(std::realloc(PrefixOf(old), kPrefix + bytes + sizeof(OLECHAR)));
    if (block == nullptr) return FALSE;
    *reinterpret_cast<std::uint32_t*>(block) = static_cast<std::uint32_t>(bytes);
    auto* chars = reinterpret_cast<OLECHAR*>(block + kPrefix);
    if (psz != nullptr) std::memcpy(chars, psz, bytes);
    chars[len] = 0;
    *pbstr = chars;
    return TRUE;
}

BSTR SysAllocString(LPCOLESTR psz) {
    if (psz == nullptr) return nullptr;
    UINT n = 0;
    while (psz[n] != 0) ++n;
    return SysAllocStringLen(psz, n);
}

void SysFreeString(BSTR b) {
    if (b == nullptr) return;
    std::free(PrefixOf(b));
    platform::seams::CountLive(platform::seams::Live::Bstr, -1);
}

UINT SysStringByteLen(BSTR b) {
    return b == nullptr ? 0 : *PrefixOf(b);
}

UINT SysStringLen(BSTR b) {
    return SysStringByteLen(b) / sizeof(OLECHAR);
}

namespace platform::com {
std::string Bstr::Utf8() const {
    return Utf16ToUtf8(View());
}

namespace {

// Converting a window at a time bounds the UTF-16 scratch space.
constexpr std::size_t kWindow = 64 * 1024;

// The length of `bytes` without a sequence cut off at its end: a lead byte in
// the last three bytes whose sequence needs more bytes than follow it.
std::size_t CompletePrefix(std::string_view bytes) {
    for (std::size_t back = 1; back <= 3 && back <= bytes.size(); ++back) {
        const auto b = static_cast<unsigned char>(bytes[bytes.size() - back]);
        if ((b & 0xC0) == 0x80) continue;
        return Utf8SequenceLength(b) > back ? bytes.size() - back : bytes.size();
    }
    return bytes.size();
}

}  // namespace

BstrBuilder::BstrBuilder() : m_text(SysAllocStringLen(nullptr, 0)) {
    if (m_text.IsNull()) throw std::bad_alloc();
}

void BstrBuilder::Reserve(std::size_t bytes) {
    if (bytes > m_capacity) Grow(bytes);
}

void BstrBuilder::Grow(std::size_t characters) {
    if (characters > std::numeric_limits<UINT>::max()) throw std::bad_alloc();
    BSTR b = m_text.Release();
    // Left unset: only the characters written are ever read.
    const int grown = SysReAllocStringLen(&b, nullptr, static_cast<UINT>(characters));
    m_text = Bstr(b);
    if (!grown) throw std::bad_alloc();
    m_capacity = characters;
}

void BstrBuilder::Convert(std::string_view complete) {
    if (complete.empty()) return;
    if (!IsValidUtf8(complete)) m_wellFormed = false;
    const std::u16string wide = Utf8ToUtf16(complete);
    if (m_length + wide.size() > m_capacity)
        Grow(std::max(m_length + wide.size(), m_capacity + m_capacity / 2 + kWindow));
    std::memcpy(m_text.Get() + m_length, wide.data(), wide.size() * sizeof(OLECHAR));
    m_length += wide.size();
}

void BstrBuilder::Append(std::string_view piece) {
    while (!piece.empty()) {
        std::string_view window = piece.substr(0, kWindow);
        piece.remove_prefix(window.size());
        std::string joined;
        if (m_pendingSize > 0) {
            joined.reserve(m_pendingSize + window.size());
            joined.assign(m_pending, m_pendingSize).append(window);
            window = joined;
        }
        const std::size_t complete = CompletePrefix(window);
        Convert(window.substr(0, complete));
        m_pendingSize = window.size() - complete;
        std::memcpy(m_pending, window.data() + complete, m_pendingSize);
    }
}

Bstr BstrBuilder::Finish() {
    Convert(std::string_view(m_pending, m_pendingSize));
    m_pendingSize = 0;
    BSTR b = m_text.Release();
    const int fitted = SysReAllocStringLen(&b, nullptr, static_cast<UINT>(m_length));
    Bstr text(b);
    if (!fitted) throw std::bad_alloc();
    m_length = m_capacity = 0;
    return text;
}

}  // namespace platform::com
