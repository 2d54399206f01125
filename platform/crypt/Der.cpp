#include "platform/crypt/Der.h"

#include <ctime>

#include "platform/win/Failure.h"
#include "platform/win/Time.h"
#include "platform/win/WinError.h"

namespace platform::crypt::der {
namespace {

// Deeper nesting than this is refused: no certificate or message needs it,
// and it bounds the work an open length can ask for.
constexpr int kMaxDepth = 32;

}  // namespace

Status Reader::Next(Element& e) {
    if (m_p == m_end) return Status::End;
    const BYTE* p = m_p;
    e.begin = p;
    const BYTE first = *p++;
    e.cls = first & 0xC0;
    e.constructed = (first & 0x20) != 0;
    unsigned tag = first & 0x1F;
    if (tag == 0x1F) {
        // A tag number of its own octets, seven bits each; four are plenty.
        tag = 0;
        for (int i = 0;; ++i) {
            if (p == m_end) return Status::Truncated;
            if (i == 4 || (i == 0 && *p == 0x80)) return Status::Bad;
            const BYTE b = *p++;
            tag = (tag << 7) | (b & 0x7F);
            if ((b & 0x80) == 0) break;
        }
    }
    e.tag = tag;
    if (p == m_end) return Status::Truncated;
    const BYTE lengthOctet = *p++;
    if (lengthOctet == 0x80) {
        if (!m_ber || !e.constructed) return Status::Bad;
        e.indefinite = true;
        e.content = p;
        const BYTE* end = nullptr;
        if (const Status s = Skip(e, end); s != Status::Ok) return s;
        e.contentEnd = end - 2;
        e.end = end;
        m_p = end;
        return Status::Ok;
    }
    std::size_t length = lengthOctet;
    if (lengthOctet > 0x80) {
        const int octets = lengthOctet & 0x7F;
        if (octets > 4) return Status::Bad;
        length = 0;
        for (int i = 0; i < octets; ++i) {
            if (p == m_end) return Status::Truncated;
            length = (length << 8) | *p++;
        }
    }
    e.indefinite = false;
    e.content = p;
    if (length > std::size_t(m_end - p)) return Status::Truncated;
    e.contentEnd = e.end = p + length;
    m_p = e.end;
    return Status::Ok;
}

// Finds the end of an element of open length: its elements up to the
// end-of-contents mark, each read (and, when open itself, walked) in turn.
Status Reader::Skip(const Element& open, const BYTE*& end) const {
    if (m_depth >= kMaxDepth) return Status::Bad;
    Reader inner(open.content, m_end, m_ber, m_depth + 1);
    for (;;) {
        if (inner.m_end - inner.m_p < 2) return Status::Truncated;
        if (inner.m_p[0] == 0 && inner.m_p[1] == 0) {
            end = inner.m_p + 2;
            return Status::Ok;
        }
        Element e;
        if (const Status s = inner.Next(e); s != Status::Ok) return s;
    }
}

Status StringOctets(const Element& e, unsigned tag, std::vector<BYTE>& storage, Bytes& out) {
    if (e.cls != kUniversal || e.tag != tag) return Status::Bad;
    if (!e.constructed) {
        out = e.Content();
        return Status::Ok;
    }
    // BER: the string in pieces, each a string of the same type.
    storage.clear();
    struct Walk {
        std::vector<BYTE>& into;
        unsigned tag;
        Status operator()(const Element& whole, int depth) {
            if (depth > kMaxDepth) return Status::Bad;
            Reader r = Reader::Inside(whole, true);
            Element piece;
            Status s;
            while ((s = r.Next(piece)) == Status::Ok) {
                if (piece.cls != kUniversal || piece.tag != tag) return Status::Bad;
                if (piece.constructed) {
                    if (const Status inner = (*this)(piece, depth + 1); inner != Status::Ok)
                        return inner;
                } else {
                    into.insert(into.end(), piece.content, piece.contentEnd);
                }
            }
            return s == Status::End ? Status::Ok : s;
        }
    } walk{storage, tag};
    if (const Status s = walk(e, 0); s != Status::Ok) return s;
    out = Bytes(storage.data(), storage.size());
    return Status::Ok;
}

std::string OidText(Bytes content) {
    if (content.empty() || (content.back() & 0x80) != 0) return {};
    std::string out;
    std::uint64_t value = 0;
    bool first = true;
    bool start = true;
    for (const BYTE b : content) {
        if (start && b == 0x80) return {};  // an arc padded with a leading zero
        if (value > (UINT64_MAX >> 7)) return {};
        value = (value << 7) | (b & 0x7F);
        start = (b & 0x80) == 0;
        if (!start) continue;
        if (first) {
            // The first two arcs share one number.
            const std::uint64_t top = value < 40 ? 0 : value < 80 ? 1 : 2;
            out += std::to_string(top);
            out += '.';
            out += std::to_string(value - 40 * top);
            first = false;
        } else {
            out += '.';
            out += std::to_string(value);
        }
        value = 0;
    }
    return out;
}

namespace {

bool Digits(const BYTE*& p, const BYTE* end, int count, int& value) {
    value = 0;
    for (int i = 0; i < count; ++i) {
        if (p == end || *p < '0' || *p > '9') return false;
        value = value * 10 + (*p++ - '0');
    }
    return true;
}

}  // namespace

bool TimeValue(const Element& e, FILETIME& out) {
    if (e.constructed || e.cls != kUniversal || (e.tag != kUtcTime && e.tag != kGeneralizedTime))
        return false;
    const BYTE* p = e.content;
    const BYTE* const end = e.contentEnd;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (e.tag == kUtcTime) {
        if (!Digits(p, end, 2, year)) return false;
        year += year < 50 ? 2000 : 1900;  // two digits of year read as 1950-2049
    } else if (!Digits(p, end, 4, year)) {
        return false;
    }
    if (!Digits(p, end, 2, month) || !Digits(p, end, 2, day) || !Digits(p, end, 2, hour) ||
        !Digits(p, end, 2, minute))
        return false;
    // Seconds may be left out; a fraction of a second is dropped.
    if (p != end && *p >= '0' && *p <= '9' && !Digits(p, end, 2, second)) return false;
    if (e.tag == kGeneralizedTime && p != end && (*p == '.' || *p == ',')) {
        ++p;
        if (p == end || *p < '0' || *p > '9') return false;
        while (p != end && *p >= '0' && *p <= '9') ++p;
    }
    int offsetMinutes = 0;
    if (p != end && *p == 'Z') {
        ++p;
    } else if (p != end && (*p == '+' || *p == '-')) {
        const int sign = *p++ == '+' ? 1 : -1;
        int oh = 0, om = 0;
        if (!Digits(p, end, 2, oh) || !Digits(p, end, 2, om) || oh > 23 || om > 59) return false;
        offsetMinutes = sign * (oh * 60 + om);
    } else {
        return false;  // a local time names no instant
    }
    if (p != end) return false;
    static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1] || hour > 23 || minute > 59 ||
        second > 60)
        return false;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (month == 2 && day == 29 && !leap) return false;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    const std::int64_t seconds = std::int64_t(timegm(&tm)) - std::int64_t(offsetMinutes) * 60;
    // A time before the platform's epoch (1601) reads as the epoch itself.
    constexpr std::int64_t kEpoch = -std::int64_t(platform::win::kUnixEpochAsFileTime / 10000000);
    out = platform::win::FileTimeFromUnixSeconds(seconds < kEpoch ? kEpoch : seconds);
    return true;
}

std::vector<BYTE> Wrap(BYTE tag, Bytes content) {
    std::vector<BYTE> out{tag};
    const std::size_t n = content.size();
    if (n < 0x80) {
        out.push_back(BYTE(n));
    } else {
        int octets = 0;
        for (std::size_t v = n; v != 0; v >>= 8) ++octets;
        out.push_back(BYTE(0x80 | octets));
        for (int i = octets - 1; i >= 0; --i) out.push_back(BYTE(n >> (8 * i)));
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

std::vector<BYTE> Rewrap(const Element& e, Bytes content) {
    if ((e.begin[0] & 0x1F) == 0x1F) throw platform::Failure(CRYPT_E_ASN1_BADTAG);
    return Wrap(e.begin[0], content);
}

std::vector<BYTE> Replaced(const Element& parent, const Element& child, Bytes replacement) {
    std::vector<BYTE> content(parent.content, child.begin);
    content.insert(content.end(), replacement.begin(), replacement.end());
    content.insert(content.end(), child.end, parent.contentEnd);
    return Rewrap(parent, content);
}

}  // namespace platform::crypt::der
