#pragma once
// A strictly bounded reader of BER and DER elements: every length is checked
// against the bytes that hold it, nesting is limited, and nothing is read past
// the end given. Certificates are read in DER (definite lengths only);
// messages may use the open lengths and split strings that BER allows.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/win/WinTypes.h"

namespace platform::crypt::der {

using Bytes = std::span<const BYTE>;

enum class Status {
    Ok,
    End,        // no element left
    Truncated,  // an element goes on past the bytes given
    Bad,        // the bytes are no element
};

inline constexpr BYTE kUniversal = 0x00;
inline constexpr BYTE kContext = 0x80;

// Universal tag numbers used here.
inline constexpr unsigned kBoolean = 1, kInteger = 2, kBitString = 3, kOctetString = 4, kNull = 5,
                          kOid = 6, kSequence = 16, kSet = 17, kUtcTime = 23, kGeneralizedTime = 24;

struct Element {
    const BYTE* begin = nullptr;       // the first octet of the tag
    const BYTE* content = nullptr;     // the first octet of the content
    const BYTE* contentEnd = nullptr;  // past the content (before an end-of-contents mark)
    const BYTE* end = nullptr;         // past the whole element
    unsigned tag = 0;                  // the tag number
    BYTE cls = 0;                      // kUniversal, 0x40, kContext or 0xC0
    bool constructed = false;
    bool indefinite = false;

    Bytes Whole() const { return {begin, end}; }
    Bytes Content() const { return {content, contentEnd}; }
    bool Is(BYTE c, unsigned t, bool cons) const {
        return cls == c && tag == t && constructed == cons;
    }
    bool IsUniversal(unsigned t, bool cons) const { return Is(kUniversal, t, cons); }
};

// Reads the elements one after another from a span of bytes.
class Reader {
public:
    explicit Reader(Bytes bytes, bool ber = false)
        : m_p(bytes.data()), m_end(bytes.data() + bytes.size()), m_ber(ber) {}

    // The elements inside a constructed one, read by the same rules.
    static Reader Inside(const Element& e, bool ber) { return Reader(e.Content(), ber); }

    bool AtEnd() const { return m_p == m_end; }
    Status Next(Element& e);

private:
    Reader(const BYTE* p, const BYTE* end, bool ber, int depth)
        : m_p(p), m_end(end), m_ber(ber), m_depth(depth) {}
    Status Skip(const Element& open, const BYTE*& end) const;

    const BYTE* m_p;
    const BYTE* m_end;
    bool m_ber;
    int m_depth = 0;
};

// The octets of a string element of universal tag `tag`: the content of a
// primitive one, or (BER) the pieces of a constructed one joined in `storage`.
Status StringOctets(const Element& e, unsigned tag, std::vector<BYTE>& storage, Bytes& out);

// The dotted text of an object identifier's content; empty when the content
// is no identifier (or has an arc past 64 bits).
std::string OidText(Bytes content);

// A UTCTime or GeneralizedTime element as a FILETIME (UTC); false when it is
// neither or does not read as a time.
bool TimeValue(const Element& e, FILETIME& out);

// Writing: an element of a one-octet tag around `content`, in definite
// length; a constructed element read before with new content (an open
// length becomes a definite one); and `parent` with its child `child`
// replaced by the whole element `replacement`. Throws platform::Failure
// (CRYPT_E_ASN1_BADTAG) for a tag of more than one octet.
std::vector<BYTE> Wrap(BYTE tag, Bytes content);
std::vector<BYTE> Rewrap(const Element& e, Bytes content);
std::vector<BYTE> Replaced(const Element& parent, const Element& child, Bytes replacement);

}  // namespace platform::crypt::der
