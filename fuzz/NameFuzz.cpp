// Encoded names (X.500 distinguished names) as certificates and messages
// carry them, turned into text by CertNameToStrA in each of its forms. For
// every input and every room: the text is terminated inside the room, never
// split inside a character, and is a beginning of the whole text; the whole
// text is UTF-8 without a NUL, so that no caller reading it as a C string
// loses what follows.

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "platform/crypt/WinCrypt.h"
#include "platform/text/Utf.h"

namespace {

using ostrel::fuzz::Check;

void Convert(const std::uint8_t* data, std::size_t size, DWORD type) {
    CERT_NAME_BLOB name{DWORD(size), const_cast<BYTE*>(data)};
    const DWORD needed = CertNameToStrA(X509_ASN_ENCODING, &name, type, nullptr, 0);
    Check(needed >= 1, "at least the terminator is needed");
    std::vector<char> whole(std::size_t(needed) + 1, '\x7F');
    const DWORD written = CertNameToStrA(X509_ASN_ENCODING, &name, type, whole.data(), needed);
    Check(written == needed, "the room asked for takes the whole text");
    Check(whole[needed - 1] == '\0' && whole[needed] == '\x7F', "terminated, no overrun");
    const std::string_view text(whole.data(), needed - 1);
    Check(text.find('\0') == std::string_view::npos, "no NUL inside the text");
    Check(platform::com::IsValidUtf8(text), "the text is UTF-8");

    // Every smaller room up to a bound, then a few larger ones.
    for (DWORD room = 1; room < needed; room = room < 64 ? room + 1 : room * 2) {
        std::vector<char> area(std::size_t(room) + 1, '\x7F');
        const DWORD got = CertNameToStrA(X509_ASN_ENCODING, &name, type, area.data(), room);
        Check(got >= 1 && got <= room, "the count stays within the room");
        Check(area[got - 1] == '\0' && area[room] == '\x7F', "terminated inside the room");
        const std::string_view part(area.data(), got - 1);
        Check(text.starts_with(part), "a short room holds a beginning of the text");
        Check(platform::com::IsValidUtf8(part), "no character is split");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    for (DWORD type : {CERT_SIMPLE_NAME_STR, CERT_OID_NAME_STR, CERT_X500_NAME_STR})
        Convert(data, size, type);
    return 0;
}
