#include "platform/crypt/CertFields.h"

#include <cstring>

#include "platform/crypt/Certificate.h"
#include "platform/win/LastError.h"
#include "platform/win/WinError.h"

namespace platform::crypt {
namespace {

using der::Element;
using der::Reader;
using der::Status;

// The identifier of the subject key identifier extension (2.5.29.14).
constexpr BYTE kSubjectKeyIdOid[] = {0x55, 0x1D, 0x0E};

struct Refused {
    DWORD code;
};

// Reads the next element, which must be there and have the tag given.
Element Expect(Reader& r, BYTE cls, unsigned tag, bool constructed) {
    Element e;
    switch (r.Next(e)) {
        case Status::Ok:
            break;
        case Status::End:
            throw Refused{CRYPT_E_ASN1_CORRUPT};
        case Status::Truncated:
        case Status::Bad:
            throw Refused{CRYPT_E_ASN1_CORRUPT};
    }
    if (!e.Is(cls, tag, constructed)) throw Refused{CRYPT_E_ASN1_BADTAG};
    return e;
}

Element Expect(Reader& r, unsigned tag, bool constructed) {
    return Expect(r, der::kUniversal, tag, constructed);
}

// Reads the next element when it has the tag given; leaves the reader as it
// was otherwise.
bool Optional(Reader& r, BYTE cls, unsigned tag, bool constructed, Element& e) {
    Reader look = r;
    const Status s = look.Next(e);
    if (s == Status::End) return false;
    if (s != Status::Ok) throw Refused{CRYPT_E_ASN1_CORRUPT};
    if (!e.Is(cls, tag, constructed)) return false;
    r = look;
    return true;
}

void ExpectEnd(const Reader& r) {
    if (!r.AtEnd()) throw Refused{CRYPT_E_ASN1_CORRUPT};
}

// AlgorithmIdentifier: an identifier and, when present, one element of parameters.
void ReadAlgorithm(const Element& alg, der::Bytes& oid, der::Bytes& params) {
    Reader r = Reader::Inside(alg, false);
    const Element id = Expect(r, der::kOid, false);
    if (id.content == id.contentEnd) throw Refused{CRYPT_E_ASN1_CORRUPT};
    oid = id.Content();
    Element p;
    if (r.Next(p) == Status::Ok) {
        params = p.Whole();
    } else {
        params = {};
    }
    ExpectEnd(r);
}

FILETIME ReadTime(Reader& r) {
    Element e;
    if (r.Next(e) != Status::Ok) throw Refused{CRYPT_E_ASN1_CORRUPT};
    if (e.cls != der::kUniversal || e.constructed ||
        (e.tag != der::kUtcTime && e.tag != der::kGeneralizedTime))
        throw Refused{CRYPT_E_ASN1_BADTAG};
    FILETIME t{};
    if (!der::TimeValue(e, t)) throw Refused{CRYPT_E_ASN1_CORRUPT};
    return t;
}

void ReadExtensions(const Element& explicit3, CertFields& out) {
    Reader outer = Reader::Inside(explicit3, false);
    const Element list = Expect(outer, der::kSequence, true);
    ExpectEnd(outer);
    Reader r = Reader::Inside(list, false);
    Element ext;
    Status s;
    while ((s = r.Next(ext)) == Status::Ok) {
        if (!ext.IsUniversal(der::kSequence, true)) throw Refused{CRYPT_E_ASN1_BADTAG};
        Reader x = Reader::Inside(ext, false);
        CertExtensionField field;
        const Element id = Expect(x, der::kOid, false);
        if (id.content == id.contentEnd) throw Refused{CRYPT_E_ASN1_CORRUPT};
        field.oid = id.Content();
        Element flag;
        if (Optional(x, der::kUniversal, der::kBoolean, false, flag)) {
            if (flag.contentEnd - flag.content != 1) throw Refused{CRYPT_E_ASN1_CORRUPT};
            field.critical = *flag.content != 0;
        }
        field.value = Expect(x, der::kOctetString, false).Content();
        ExpectEnd(x);
        if (field.oid.size() == sizeof kSubjectKeyIdOid &&
            std::memcmp(field.oid.data(), kSubjectKeyIdOid, sizeof kSubjectKeyIdOid) == 0) {
            Reader v(field.value, false);
            const Element id2 = Expect(v, der::kOctetString, false);
            ExpectEnd(v);
            out.subjectKeyId = id2.Content();
        }
        out.extensions.push_back(field);
    }
    if (s != Status::End) throw Refused{CRYPT_E_ASN1_CORRUPT};
}

void ReadTbs(const Element& tbs, CertFields& out) {
    Reader r = Reader::Inside(tbs, false);
    Element e;
    if (Optional(r, der::kContext, 0, true, e)) {
        Reader v = Reader::Inside(e, false);
        const Element version = Expect(v, der::kInteger, false);
        ExpectEnd(v);
        if (version.contentEnd - version.content != 1 || *version.content > 2)
            throw Refused{CRYPT_E_ASN1_CORRUPT};
        out.version = *version.content;
    }
    const Element serial = Expect(r, der::kInteger, false);
    if (serial.content == serial.contentEnd) throw Refused{CRYPT_E_ASN1_CORRUPT};
    out.serial = serial.Content();
    ReadAlgorithm(Expect(r, der::kSequence, true), out.signatureOid, out.signatureParams);
    out.issuer = Expect(r, der::kSequence, true).Whole();
    if (!IsWellFormedName(out.issuer)) throw Refused{CRYPT_E_ASN1_CORRUPT};
    {
        Reader validity = Reader::Inside(Expect(r, der::kSequence, true), false);
        out.notBefore = ReadTime(validity);
        out.notAfter = ReadTime(validity);
        ExpectEnd(validity);
    }
    out.subject = Expect(r, der::kSequence, true).Whole();
    if (!IsWellFormedName(out.subject)) throw Refused{CRYPT_E_ASN1_CORRUPT};
    {
        const Element spki = Expect(r, der::kSequence, true);
        out.publicKeyInfo = spki.Whole();
        Reader k = Reader::Inside(spki, false);
        ReadAlgorithm(Expect(k, der::kSequence, true), out.keyOid, out.keyParams);
        const Element bits = Expect(k, der::kBitString, false);
        ExpectEnd(k);
        if (bits.content == bits.contentEnd || *bits.content > 7 ||
            (*bits.content != 0 && bits.contentEnd - bits.content == 1))
            throw Refused{CRYPT_E_ASN1_CORRUPT};
        out.keyUnusedBits = *bits.content;
        out.keyBits = der::Bytes(bits.content + 1, bits.contentEnd);
    }
    // The unique identifiers of issuer and subject are passed over.
    Optional(r, der::kContext, 1, false, e);
    Optional(r, der::kContext, 2, false, e);
    if (Optional(r, der::kContext, 3, true, e)) ReadExtensions(e, out);
    ExpectEnd(r);
}

std::vector<BYTE> Copy(der::Bytes bytes) {
    return std::vector<BYTE>(bytes.begin(), bytes.end());
}

CRYPTOAPI_BLOB Blob(std::vector<BYTE>& v) {
    return CRYPTOAPI_BLOB{static_cast<DWORD>(v.size()), v.empty() ? nullptr : v.data()};
}

}  // namespace

bool IsWellFormedName(der::Bytes name) {
    Reader top(name, false);
    Element seq;
    if (top.Next(seq) != Status::Ok || !seq.IsUniversal(der::kSequence, true) || !top.AtEnd())
        return false;
    Reader rdns = Reader::Inside(seq, false);
    Element rdn;
    Status s;
    while ((s = rdns.Next(rdn)) == Status::Ok) {
        if (!rdn.IsUniversal(der::kSet, true) || rdn.content == rdn.contentEnd) return false;
        Reader atvs = Reader::Inside(rdn, false);
        Element atv;
        Status t;
        while ((t = atvs.Next(atv)) == Status::Ok) {
            if (!atv.IsUniversal(der::kSequence, true)) return false;
            Reader pair = Reader::Inside(atv, false);
            Element type, value;
            if (pair.Next(type) != Status::Ok || !type.IsUniversal(der::kOid, false) ||
                type.content == type.contentEnd || pair.Next(value) != Status::Ok || !pair.AtEnd())
                return false;
        }
        if (t != Status::End) return false;
    }
    return s == Status::End;
}

DWORD ReadCertFields(der::Bytes der, CertFields& out) {
    out = CertFields{};
    Reader top(der, false);
    Element cert;
    switch (top.Next(cert)) {
        case Status::Ok:
            break;
        case Status::End:
        case Status::Truncated:
            return CRYPT_E_ASN1_EOD;
        case Status::Bad:
            return CRYPT_E_ASN1_CORRUPT;
    }
    if (!cert.IsUniversal(der::kSequence, true)) return CRYPT_E_ASN1_BADTAG;
    if (!top.AtEnd()) return CRYPT_E_ASN1_CORRUPT;
    try {
        Reader r = Reader::Inside(cert, false);
        const Element tbs = Expect(r, der::kSequence, true);
        out.tbs = tbs.Whole();
        der::Bytes oid, params;
        ReadAlgorithm(Expect(r, der::kSequence, true), oid, params);
        const Element signature = Expect(r, der::kBitString, false);
        if (signature.content == signature.contentEnd) throw Refused{CRYPT_E_ASN1_CORRUPT};
        ExpectEnd(r);
        ReadTbs(tbs, out);
    } catch (const Refused& refused) {
        out = CertFields{};
        return refused.code;
    }
    return ERROR_SUCCESS;
}

std::shared_ptr<const Certificate> Certificate::FromDer(std::vector<BYTE> der) {
    std::shared_ptr<Certificate> cert(new Certificate());
    cert->m_fromDer = true;
    cert->m_der = std::move(der);
    CertFields f;
    if (const DWORD code = ReadCertFields(cert->m_der, f); code != ERROR_SUCCESS) {
        SetLastError(code);
        return nullptr;
    }
    const std::string sigOid = der::OidText(f.signatureOid);
    const std::string keyOid = der::OidText(f.keyOid);
    if (sigOid.empty() || keyOid.empty()) {
        SetLastError(CRYPT_E_ASN1_CORRUPT);
        return nullptr;
    }
    cert->m_serial.assign(f.serial.rbegin(), f.serial.rend());
    cert->m_issuer = Copy(f.issuer);
    cert->m_subject = Copy(f.subject);
    cert->m_sigOid = sigOid;
    cert->m_sigParams = Copy(f.signatureParams);
    cert->m_keyOid = keyOid;
    cert->m_keyParams = Copy(f.keyParams);
    cert->m_keyBits = Copy(f.keyBits);
    for (const auto& ext : f.extensions) {
        std::string oid = der::OidText(ext.oid);
        if (oid.empty()) {
            SetLastError(CRYPT_E_ASN1_CORRUPT);
            return nullptr;
        }
        cert->m_extOids.push_back(std::move(oid));
        cert->m_extValues.push_back(Copy(ext.value));
    }
    for (std::size_t i = 0; i < f.extensions.size(); ++i)
        cert->m_extensions.push_back(CERT_EXTENSION{cert->m_extOids[i].data(),
                                                    f.extensions[i].critical ? TRUE : FALSE,
                                                    Blob(cert->m_extValues[i])});

    CERT_INFO& info = cert->m_info;
    info.dwVersion = f.version;
    info.SerialNumber = Blob(cert->m_serial);
    info.SignatureAlgorithm = {cert->m_sigOid.data(), Blob(cert->m_sigParams)};
    info.Issuer = Blob(cert->m_issuer);
    info.Subject = Blob(cert->m_subject);
    info.NotBefore = f.notBefore;
    info.NotAfter = f.notAfter;
    info.SubjectPublicKeyInfo = {
        {cert->m_keyOid.data(), Blob(cert->m_keyParams)},
        {static_cast<DWORD>(cert->m_keyBits.size()),
         cert->m_keyBits.empty() ? nullptr : cert->m_keyBits.data(), f.keyUnusedBits}};
    info.cExtension = static_cast<DWORD>(cert->m_extensions.size());
    info.rgExtension = cert->m_extensions.empty() ? nullptr : cert->m_extensions.data();
    return cert;
}

X509* Certificate::X509Cert() const {
    if (m_fromDer)
        std::call_once(m_x509Decoded, [this] {
            const unsigned char* p = m_der.data();
            m_x509.reset(d2i_X509(nullptr, &p, long(m_der.size())));
            ossl::DropErrors();
        });
    return m_x509.get();
}

}  // namespace platform::crypt
