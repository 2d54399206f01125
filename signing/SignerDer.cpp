#include "signing/SignerDer.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace signer_der {
namespace {

// One TLV read from `data` at `at`: its tag, where its content starts and
// how long it is; nothing when it does not fit.
struct Tlv {
    std::size_t start;
    BYTE tag;
    std::size_t content;
    std::size_t length;
    std::size_t End() const { return content + length; }
};

std::optional<Tlv> Read(std::span<const BYTE> data, std::size_t at) {
    if (at + 2 > data.size()) return std::nullopt;
    const BYTE tag = data[at];
    std::size_t length = data[at + 1];
    std::size_t content = at + 2;
    if (length & 0x80) {
        const std::size_t count = length & 0x7F;
        if (count == 0 || count > 4 || content + count > data.size()) return std::nullopt;
        length = 0;
        for (std::size_t i = 0; i < count; ++i) length = (length << 8) | data[content + i];
        content += count;
    }
    if (length > data.size() - content) return std::nullopt;
    return Tlv{at, tag, content, length};
}

void Append(std::vector<BYTE>& out, std::span<const BYTE> bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

}  // namespace

std::vector<BYTE> Wrap(BYTE tag, std::span<const BYTE> content) {
    std::vector<BYTE> out{tag};
    const std::size_t n = content.size();
    if (n < 0x80) {
        out.push_back(static_cast<BYTE>(n));
    } else {
        BYTE bytes[sizeof(std::size_t)];
        int count = 0;
        for (std::size_t v = n; v != 0; v >>= 8) bytes[count++] = static_cast<BYTE>(v & 0xFF);
        out.push_back(static_cast<BYTE>(0x80 | count));
        while (count > 0) out.push_back(bytes[--count]);
    }
    Append(out, content);
    return out;
}

std::vector<BYTE> ObjectIdentifier(const char* dotted) {
    std::vector<unsigned long> arcs;
    for (const char* p = dotted; *p != 0;) {
        char* end = nullptr;
        arcs.push_back(std::strtoul(p, &end, 10));
        p = *end == '.' ? end + 1 : end;
    }
    std::vector<BYTE> out;
    if (arcs.size() < 2) return out;
    const auto base128 = [&out](unsigned long v) {
        BYTE bytes[10];
        int count = 0;
        do {
            bytes[count++] = static_cast<BYTE>(v & 0x7F);
            v >>= 7;
        } while (v != 0);
        while (count > 1) out.push_back(static_cast<BYTE>(bytes[--count] | 0x80));
        out.push_back(bytes[0]);
    };
    base128(arcs[0] * 40 + arcs[1]);
    for (std::size_t i = 2; i < arcs.size(); ++i) base128(arcs[i]);
    return out;
}

std::optional<IssuerAndSerial> IssuerAndSerialOf(std::span<const BYTE> certificate) {
    const auto cert = Read(certificate, 0);
    if (!cert || cert->tag != 0x30) return std::nullopt;
    const auto tbs = Read(certificate, cert->content);
    if (!tbs || tbs->tag != 0x30) return std::nullopt;
    auto item = Read(certificate, tbs->content);
    if (item && item->tag == 0xA0) item = Read(certificate, item->End());  // [0] version
    if (!item || item->tag != 0x02) return std::nullopt;
    const Tlv serial = *item;
    const auto algorithm = Read(certificate, serial.End());
    if (!algorithm || algorithm->tag != 0x30) return std::nullopt;
    const auto issuer = Read(certificate, algorithm->End());
    if (!issuer || issuer->tag != 0x30 || issuer->End() > tbs->End()) return std::nullopt;
    const auto whole = [&](const Tlv& t) {
        return std::vector<BYTE>(certificate.begin() + std::ptrdiff_t(t.start),
                                 certificate.begin() + std::ptrdiff_t(t.End()));
    };
    return IssuerAndSerial{whole(*issuer), whole(serial)};
}

std::vector<BYTE> SigningCertificateV2(std::span<const BYTE> certHash,
                                       const IssuerAndSerial& issuerSerial) {
    // IssuerSerial ::= SEQUENCE { issuer GeneralNames, serialNumber }, the
    // issuer as the one GeneralName directoryName [4].
    const auto generalNames = Wrap(0x30, Wrap(0xA4, issuerSerial.issuer));
    std::vector<BYTE> issuerSerialContent = generalNames;
    Append(issuerSerialContent, issuerSerial.serial);
    // ESSCertIDv2 ::= SEQUENCE { certHash OCTET STRING, issuerSerial }
    std::vector<BYTE> certId = Wrap(0x04, certHash);
    Append(certId, Wrap(0x30, issuerSerialContent));
    // SigningCertificateV2 ::= SEQUENCE { certs SEQUENCE OF ESSCertIDv2 }
    return Wrap(0x30, Wrap(0x30, Wrap(0x30, certId)));
}

std::vector<BYTE> Attribute(const char* oid, std::span<const BYTE> value) {
    std::vector<BYTE> content = Wrap(0x06, ObjectIdentifier(oid));
    Append(content, Wrap(0x31, value));
    return Wrap(0x30, content);
}

}  // namespace signer_der
