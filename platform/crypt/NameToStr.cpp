// Encoded distinguished names as text, in the platform's published forms.

#include <openssl/asn1.h>
#include <openssl/objects.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypt/Ossl.h"
#include "platform/crypt/WinCrypt.h"
#include "platform/seams/Seams.h"
#include "platform/text/Utf.h"
#include "platform/win/LastError.h"
#include "platform/win/WinError.h"

namespace platform::crypt {
namespace {

struct AnySeqFree {
    void operator()(ASN1_SEQUENCE_ANY* s) const { sk_ASN1_TYPE_pop_free(s, ASN1_TYPE_free); }
};
using AnySeqPtr = std::unique_ptr<ASN1_SEQUENCE_ANY, AnySeqFree>;
using StringPtr = std::unique_ptr<ASN1_STRING, ossl::Deleter<ASN1_STRING_free>>;

using Failed = platform::Failure;

struct KeyName {
    const char* oid;
    const char* key;
};

// The attribute types that have a key name in the X.500 form.
constexpr KeyName kKeyNames[] = {
    {"2.5.4.3", "CN"},
    {"2.5.4.7", "L"},
    {"2.5.4.10", "O"},
    {"2.5.4.11", "OU"},
    {"1.2.840.113549.1.9.1", "E"},
    {"2.5.4.6", "C"},
    {"2.5.4.8", "S"},
    {"2.5.4.9", "STREET"},
    {"2.5.4.12", "T"},
    {"2.5.4.42", "G"},
    {"2.5.4.43", "I"},
    {"2.5.4.4", "SN"},
    {"0.9.2342.19200300.100.1.25", "DC"},
    {"2.5.4.5", "SERIALNUMBER"},
    {"2.5.4.13", "Description"},
    {"2.5.4.17", "PostalCode"},
    {"2.5.4.18", "POBox"},
    {"2.5.4.20", "Phone"},
    {"2.5.4.24", "X21Address"},
    {"2.5.4.46", "dnQualifier"},
};

enum class Form { Simple, Oid, X500 };

void AppendHex(std::string& out, const unsigned char* data, std::size_t length) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out.reserve(out.size() + 2 * length);
    for (std::size_t i = 0; i < length; ++i) {
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 0x0F];
    }
}

// Why the decoder gave up: data that ends too early, or data that is not the
// encoding of a name. An element whose length is known and present in full
// did not end early, whatever an inner length claims.
DWORD DecodeFailure(bool complete) {
    DWORD code = CRYPT_E_ASN1_BADTAG;
    unsigned long e;
    while ((e = ossl::TakeError()) != 0) {
        if (complete || ERR_GET_LIB(e) != ERR_LIB_ASN1) continue;
        const int reason = ERR_GET_REASON(e);
        if (reason == ASN1_R_TOO_LONG || reason == ASN1_R_HEADER_TOO_LONG ||
            reason == ASN1_R_NOT_ENOUGH_DATA || reason == ASN1_R_MISSING_EOC)
            code = CRYPT_E_ASN1_EOD;
    }
    return code;
}

// The elements of a SEQUENCE OF or SET OF, each kept as its own encoding;
// null when OpenSSL cannot read one of them.
AnySeqPtr TryDecodeList(const unsigned char* der, long length, bool set) {
    const unsigned char* p = der;
    AnySeqPtr list(set ? d2i_ASN1_SET_ANY(nullptr, &p, length)
                       : d2i_ASN1_SEQUENCE_ANY(nullptr, &p, length));
    if (list && p != der + length) throw Failed(CRYPT_E_ASN1_CORRUPT);
    return list;
}

AnySeqPtr DecodeList(const unsigned char* der, long length, bool set, bool complete = true) {
    AnySeqPtr list = TryDecodeList(der, length, set);
    if (!list) throw Failed(DecodeFailure(complete));
    return list;
}

// An attribute whose value OpenSSL will not read (a BMP string of odd
// length, say) is still shown: its type, and the value by its encoding.
bool SplitAttribute(const unsigned char* der, long length, ossl::Asn1ObjectPtr& type,
                    std::vector<unsigned char>& valueDer) {
    const unsigned char* p = der;
    const unsigned char* const end = der + length;
    long contentLength = 0;
    int tag = 0, cls = 0;
    int ret = ASN1_get_object(&p, &contentLength, &tag, &cls, length);
    if (ret != V_ASN1_CONSTRUCTED || tag != V_ASN1_SEQUENCE || cls != V_ASN1_UNIVERSAL ||
        p + contentLength != end)
        return false;
    type.reset(d2i_ASN1_OBJECT(nullptr, &p, end - p));
    if (!type || p >= end) return false;
    const unsigned char* value = p;
    ret = ASN1_get_object(&p, &contentLength, &tag, &cls, end - p);
    if ((ret & 0x80) != 0 || (ret & 1) != 0 || p + contentLength != end) return false;
    valueDer.assign(value, end);
    return true;
}

bool IsSpace(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// A character string's value in UTF-8, or nothing when the value is no
// character string or cannot be read as one.
bool StringText(const ASN1_TYPE* value, std::string& out) {
    int type = value->type;
    switch (type) {
        case V_ASN1_UTF8STRING:
        case V_ASN1_NUMERICSTRING:
        case V_ASN1_PRINTABLESTRING:
        case V_ASN1_IA5STRING:
        case V_ASN1_VISIBLESTRING:
        case V_ASN1_UNIVERSALSTRING:
            break;
        case V_ASN1_BMPSTRING: {
            // Read as UTF-16, so that characters written as surrogate pairs
            // come out whole.
            const ASN1_STRING* s = value->value.asn1_string;
            const unsigned char* data = ASN1_STRING_get0_data(s);
            const std::size_t length = std::size_t(ASN1_STRING_length(s));
            if (length % 2 != 0) return false;
            std::u16string units(length / 2, u'\0');
            for (std::size_t i = 0; i < units.size(); ++i)
                units[i] = char16_t((data[2 * i] << 8) | data[2 * i + 1]);
            const auto utf8 = platform::com::Utf16ToUtf8Exact(units);
            if (!utf8) return false;
            out = *utf8;
            return out.find('\0') == std::string::npos;
        }
        case V_ASN1_T61STRING:
        case V_ASN1_VIDEOTEXSTRING:
        case V_ASN1_GRAPHICSTRING:
        case V_ASN1_GENERALSTRING: {
            // Eight-bit strings: UTF-8 when they are well-formed UTF-8 (what
            // producers put there in practice), Latin-1 otherwise.
            const ASN1_STRING* s = value->value.asn1_string;
            const std::string_view bytes(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                                         std::size_t(ASN1_STRING_length(s)));
            if (platform::com::IsValidUtf8(bytes)) {
                out.assign(bytes);
                return out.find('\0') == std::string::npos;
            }
            type = V_ASN1_T61STRING;  // read as one byte per character
            break;
        }
        default:
            return false;
    }
    const ASN1_STRING* s = value->value.asn1_string;
    StringPtr retyped;
    if (type != value->type) {
        retyped.reset(ASN1_STRING_type_new(type));
        if (!retyped ||
            ASN1_STRING_set(retyped.get(), ASN1_STRING_get0_data(s), ASN1_STRING_length(s)) != 1)
            throw std::bad_alloc();
        s = retyped.get();
    }
    unsigned char* utf8 = nullptr;
    const int n = ASN1_STRING_to_UTF8(&utf8, s);
    if (n < 0) {
        platform::crypt::ossl::DropErrors();
        return false;
    }
    out.assign(reinterpret_cast<const char*>(utf8), std::size_t(n));
    OPENSSL_free(utf8);
    // A NUL would end the text early and hide what follows it; such a value
    // is shown by its encoding instead.
    return out.find('\0') == std::string::npos;
}

void AppendValue(std::string& out, const ASN1_TYPE* value) {
    std::string text;
    if (StringText(value, text)) {
        const bool quote = text.empty() || IsSpace(static_cast<unsigned char>(text.front())) ||
                           IsSpace(static_cast<unsigned char>(text.back())) ||
                           text.find_first_of(",+=\"\n<>#;") != std::string::npos;
        if (!quote) {
            out += text;
            return;
        }
        out += '"';
        for (char c : text) {
            if (c == '"') out += '"';
            out += c;
        }
        out += '"';
        return;
    }
    out += '#';
    if (value->type == V_ASN1_OCTET_STRING) {
        const ASN1_STRING* s = value->value.octet_string;
        AppendHex(out, ASN1_STRING_get0_data(s), std::size_t(ASN1_STRING_length(s)));
        return;
    }
    const auto der = ossl::ToDer(value, i2d_ASN1_TYPE);
    AppendHex(out, der.data(), der.size());
}

void AppendKey(std::string& out, const ASN1_OBJECT* type, Form form) {
    const std::string oid = ossl::OidText(type);
    if (oid.empty()) throw Failed(CRYPT_E_ASN1_CORRUPT);
    if (form == Form::X500) {
        const auto known = std::find_if(std::begin(kKeyNames), std::end(kKeyNames),
                                        [&](const KeyName& k) { return oid == k.oid; });
        if (known != std::end(kKeyNames)) {
            out += known->key;
        } else {
            out += "OID.";
            out += oid;
        }
    } else {
        out += oid;
    }
    out += '=';
}

std::string NameText(const BYTE* der, DWORD size, Form form) {
    if (size == 0) throw Failed(CRYPT_E_ASN1_EOD);
    // A name is a SEQUENCE; anything else is no name, however long its first
    // element claims to be.
    if (der[0] != 0x30) throw Failed(CRYPT_E_ASN1_BADTAG);
    const unsigned char* p = der;
    long length = 0;
    int tag = 0, cls = 0;
    const int header = ASN1_get_object(&p, &length, &tag, &cls, long(size));
    if ((header & 0x80) != 0) {
        platform::crypt::ossl::DropErrors();
        throw Failed(CRYPT_E_ASN1_EOD);
    }
    std::string out;
    const AnySeqPtr rdns = DecodeList(der, long(size), false, (header & 1) == 0);
    for (int i = 0; i < sk_ASN1_TYPE_num(rdns.get()); ++i) {
        const ASN1_TYPE* rdn = sk_ASN1_TYPE_value(rdns.get(), i);
        if (rdn->type != V_ASN1_SET) throw Failed(CRYPT_E_ASN1_BADTAG);
        const AnySeqPtr attributes = DecodeList(rdn->value.set->data, rdn->value.set->length, true);
        if (i > 0) out += ", ";
        for (int j = 0; j < sk_ASN1_TYPE_num(attributes.get()); ++j) {
            const ASN1_TYPE* attribute = sk_ASN1_TYPE_value(attributes.get(), j);
            if (attribute->type != V_ASN1_SEQUENCE) throw Failed(CRYPT_E_ASN1_BADTAG);
            const ASN1_STRING* encoded = attribute->value.sequence;
            const AnySeqPtr pair = TryDecodeList(encoded->data, encoded->length, false);
            if (j > 0) out += " + ";
            if (!pair) {
                ossl::Asn1ObjectPtr type;
                std::vector<unsigned char> valueDer;
                if (!SplitAttribute(encoded->data, encoded->length, type, valueDer))
                    throw Failed(DecodeFailure(true));
                platform::crypt::ossl::DropErrors();
                if (form != Form::Simple) AppendKey(out, type.get(), form);
                out += '#';
                AppendHex(out, valueDer.data(), valueDer.size());
                continue;
            }
            if (sk_ASN1_TYPE_num(pair.get()) != 2) throw Failed(CRYPT_E_ASN1_CORRUPT);
            const ASN1_TYPE* type = sk_ASN1_TYPE_value(pair.get(), 0);
            if (type->type != V_ASN1_OBJECT) throw Failed(CRYPT_E_ASN1_BADTAG);
            if (form != Form::Simple) AppendKey(out, type->value.object, form);
            AppendValue(out, sk_ASN1_TYPE_value(pair.get(), 1));
        }
    }
    return out;
}

// Copies as much of the text as fits, never splitting a character, and
// returns the count written with the terminator; without room, the count the
// whole text needs.
DWORD Deliver(const std::string& text, LPSTR psz, DWORD csz) {
    if (psz == nullptr || csz == 0)
        return static_cast<DWORD>(std::min<std::size_t>(text.size() + 1, 0xFFFFFFFFu));
    std::size_t n = std::min<std::size_t>(text.size(), csz - 1);
    while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    std::memcpy(psz, text.data(), n);
    psz[n] = '\0';
    return static_cast<DWORD>(n + 1);
}

}  // namespace
}  // namespace platform::crypt

DWORD CertNameToStrA(DWORD dwCertEncodingType, PCERT_NAME_BLOB pName, DWORD dwStrType, LPSTR psz,
                     DWORD csz) {
    using namespace platform::crypt;
    // Whatever happens, the caller's area holds a terminated text, and a
    // failure counts the terminator of the empty text.
    if (psz != nullptr && csz > 0) psz[0] = '\0';
    DWORD written = 1;
    platform::GuardedCall(
        "CertNameToStrA", "CertNameToStrA",
        [&]() -> BOOL {
            if ((dwCertEncodingType & 0xFFFF) != X509_ASN_ENCODING || pName == nullptr ||
                (pName->pbData == nullptr && pName->cbData != 0))
                throw Failed(E_INVALIDARG);
            Form form;
            switch (dwStrType) {
                case CERT_SIMPLE_NAME_STR:
                    form = Form::Simple;
                    break;
                case CERT_OID_NAME_STR:
                    form = Form::Oid;
                    break;
                case CERT_X500_NAME_STR:
                    form = Form::X500;
                    break;
                default:
                    // Option flags (separators, order, quoting) are not offered.
                    throw Failed(E_INVALIDARG);
            }
            struct Drop {
                ~Drop() { ossl::DropErrors(); }
            } drop;
            written = Deliver(NameText(pName->pbData, pName->cbData, form), psz, csz);
            return TRUE;
        },
        DWORD(NTE_FAIL), DWORD(E_OUTOFMEMORY));
    return written;
}
