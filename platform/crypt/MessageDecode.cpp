// Reading a signed message without verifying it: the count of signers and
// the signed attributes of each, through a message handle.

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/crypt/Der.h"
#include "platform/crypt/VerifyMessage.h"
#include "platform/crypt/WinCrypt.h"
#include "platform/win/Failure.h"
#include "platform/win/LastError.h"
#include "platform/win/WinError.h"

namespace platform::crypt {
namespace {

using Failed = platform::Failure;

struct DecodeMessage {
    std::vector<BYTE> bytes;
    bool complete = false;
};

std::mutex g_mutex;
std::unordered_set<const void*> g_live;

DecodeMessage* MessageOf(HCRYPTMSG handle) {
    std::lock_guard lock(g_mutex);
    if (handle == nullptr || g_live.count(handle) == 0) throw Failed(E_INVALIDARG);
    return static_cast<DecodeMessage*>(handle);
}

std::size_t Aligned(std::size_t n) {
    return (n + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
}

// A record and everything it points to in one buffer: parts are laid out one
// after another, and the pointers between them are written last, for the
// buffer at the address the caller gives.
class Image {
public:
    // Room for `n` octets of records, aligned; their offset.
    std::size_t Reserve(std::size_t n) {
        const std::size_t at = Aligned(m_bytes.size());
        m_bytes.resize(at + n);
        return at;
    }
    // Octets without alignment; their offset.
    std::size_t Put(const void* data, std::size_t n) {
        const std::size_t at = m_bytes.size();
        if (n > 0)
            m_bytes.insert(m_bytes.end(), static_cast<const BYTE*>(data),
                           static_cast<const BYTE*>(data) + n);
        return at;
    }
    template <typename T>
    void Write(std::size_t at, const T& value) {
        std::memcpy(m_bytes.data() + at, &value, sizeof value);
    }
    // The pointer at `at` leads to `target`.
    void Point(std::size_t at, std::size_t target) { m_pointers.push_back({at, target}); }

    // A blob record at `at` over a copy of the bytes (null when empty).
    void Blob(std::size_t at, const void* data, std::size_t n) {
        if (n > 0xFFFFFFFFu) throw Failed(CRYPT_E_ASN1_LARGE);
        Write(at + offsetof(CRYPTOAPI_BLOB, cbData), DWORD(n));
        if (n > 0) Point(at + offsetof(CRYPTOAPI_BLOB, pbData), Put(data, n));
    }
    // A text, with its terminating zero, for the pointer at `at`.
    void Text(std::size_t at, const std::string& text) {
        Point(at, Put(text.c_str(), text.size() + 1));
    }
    // A CRYPT_ATTRIBUTES record at `at`.
    void Attributes(std::size_t at, const std::vector<SignedAttribute>& attributes) {
        Write(at + offsetof(CRYPT_ATTRIBUTES, cAttr), DWORD(attributes.size()));
        if (attributes.empty()) return;
        const std::size_t records = Reserve(attributes.size() * sizeof(CRYPT_ATTRIBUTE));
        Point(at + offsetof(CRYPT_ATTRIBUTES, rgAttr), records);
        for (std::size_t i = 0; i < attributes.size(); ++i) {
            const auto& a = attributes[i];
            const std::size_t record = records + i * sizeof(CRYPT_ATTRIBUTE);
            Write(record + offsetof(CRYPT_ATTRIBUTE, cValue), DWORD(a.values.size()));
            if (!a.values.empty()) {
                const std::size_t blobs = Reserve(a.values.size() * sizeof(CRYPT_ATTR_BLOB));
                Point(record + offsetof(CRYPT_ATTRIBUTE, rgValue), blobs);
                for (std::size_t j = 0; j < a.values.size(); ++j)
                    Blob(blobs + j * sizeof(CRYPT_ATTR_BLOB), a.values[j].data(),
                         a.values[j].size());
            }
            Text(record + offsetof(CRYPT_ATTRIBUTE, pszObjId), a.oid);
        }
    }

    std::vector<BYTE> Finish(BYTE* base) {
        if (m_bytes.size() > 0xFFFFFFFFu) throw Failed(CRYPT_E_ASN1_LARGE);
        for (const auto& [at, target] : m_pointers) Write(at, base + target);
        return std::move(m_bytes);
    }

private:
    std::vector<BYTE> m_bytes;
    std::vector<std::pair<std::size_t, std::size_t>> m_pointers;
};

std::vector<BYTE> AttributesImage(const std::vector<SignedAttribute>& attributes, BYTE* base) {
    Image image;
    image.Attributes(image.Reserve(sizeof(CRYPT_ATTRIBUTES)), attributes);
    return image.Finish(base);
}

// An AlgorithmIdentifier record at `at`.
void AlgorithmImage(Image& image, std::size_t at, const std::string& oid,
                    const std::vector<BYTE>& parameters) {
    image.Text(at + offsetof(CRYPT_ALGORITHM_IDENTIFIER, pszObjId), oid);
    image.Blob(at + offsetof(CRYPT_ALGORITHM_IDENTIFIER, Parameters), parameters.data(),
               parameters.size());
}

std::vector<BYTE> SignerInfoImage(const SignerParts& parts, BYTE* base) {
    Image image;
    const std::size_t at = image.Reserve(sizeof(CMSG_SIGNER_INFO));
    image.Write(at + offsetof(CMSG_SIGNER_INFO, dwVersion), parts.version);
    image.Blob(at + offsetof(CMSG_SIGNER_INFO, Issuer), parts.issuer.data(), parts.issuer.size());
    // The serial number least significant octet first; a signer named by
    // its key identifier has the identifier there and no issuer.
    std::vector<BYTE> serial(parts.keyId.empty() ? parts.serial : parts.keyId);
    std::reverse(serial.begin(), serial.end());
    image.Blob(at + offsetof(CMSG_SIGNER_INFO, SerialNumber), serial.data(), serial.size());
    AlgorithmImage(image, at + offsetof(CMSG_SIGNER_INFO, HashAlgorithm), parts.digestOid,
                   parts.digestParameters);
    AlgorithmImage(image, at + offsetof(CMSG_SIGNER_INFO, HashEncryptionAlgorithm),
                   parts.signatureOid, parts.signatureParameters);
    image.Blob(at + offsetof(CMSG_SIGNER_INFO, EncryptedHash), parts.signature.data(),
               parts.signature.size());
    image.Attributes(at + offsetof(CMSG_SIGNER_INFO, AuthAttrs), parts.authenticated);
    image.Attributes(at + offsetof(CMSG_SIGNER_INFO, UnauthAttrs), parts.unauthenticated);
    return image.Finish(base);
}

// --- Adding an unsigned attribute -------------------------------------------

using der::Element;
using der::Reader;
using der::Status;

Element NextIn(Reader& r) {
    Element e;
    if (r.Next(e) != Status::Ok) throw Failed(CRYPT_E_ASN1_BADTAG);
    return e;
}

// The message with `attribute` (one Attribute's DER) among the unsigned
// attributes of signer `index`, which are kept in DER's order.
std::vector<BYTE> WithUnsignedAttribute(const std::vector<BYTE>& message, DWORD index,
                                        der::Bytes attribute) {
    {
        Reader check(attribute);
        Element a;
        if (check.Next(a) != Status::Ok || !check.AtEnd() || !a.IsUniversal(der::kSequence, true))
            throw Failed(CRYPT_E_ASN1_BADTAG);
    }
    ReadSignerParts(message.data(), DWORD(message.size()), index);  // a message, with that signer
    Reader top(der::Bytes(message), true);
    const Element info = NextIn(top);
    Reader inInfo = Reader::Inside(info, true);
    NextIn(inInfo);
    const Element explicit0 = NextIn(inInfo);
    Reader in0 = Reader::Inside(explicit0, true);
    const Element signedData = NextIn(in0);
    Reader inSigned = Reader::Inside(signedData, true);
    Element signerInfos, e;
    Status st;
    while ((st = inSigned.Next(e)) == Status::Ok) signerInfos = e;
    Reader inInfos = Reader::Inside(signerInfos, true);
    Element signer;
    for (DWORD i = 0; i <= index; ++i) signer = NextIn(inInfos);

    Reader fields = Reader::Inside(signer, true);
    Element field, unsignedAttrs;
    bool found = false;
    while ((st = fields.Next(field)) == Status::Ok)
        if (field.Is(der::kContext, 1, true)) {
            unsignedAttrs = field;
            found = true;
        }
    std::vector<std::vector<BYTE>> attributes{{attribute.begin(), attribute.end()}};
    if (found) {
        Reader inAttrs = Reader::Inside(unsignedAttrs, true);
        Element a;
        while ((st = inAttrs.Next(a)) == Status::Ok) attributes.emplace_back(a.begin, a.end);
        if (st != Status::End) throw Failed(CRYPT_E_ASN1_BADTAG);
    }
    std::sort(attributes.begin(), attributes.end());
    std::vector<BYTE> set;
    for (const auto& a : attributes) set.insert(set.end(), a.begin(), a.end());
    std::vector<BYTE> newSigner;
    if (found) {
        newSigner = der::Replaced(signer, unsignedAttrs, der::Rewrap(unsignedAttrs, set));
    } else {
        std::vector<BYTE> content(signer.content, signer.contentEnd);
        const auto wrapped = der::Wrap(0xA1, set);
        content.insert(content.end(), wrapped.begin(), wrapped.end());
        newSigner = der::Rewrap(signer, content);
    }
    const auto infos = der::Replaced(signerInfos, signer, newSigner);
    const auto data = der::Replaced(signedData, signerInfos, infos);
    const auto wrapped = der::Replaced(explicit0, signedData, data);
    return der::Replaced(info, explicit0, wrapped);
}

}  // namespace
}  // namespace platform::crypt

using namespace platform::crypt;

HCRYPTMSG CryptMsgOpenToDecode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                               HCRYPTPROV /*hCryptProv*/, void* pRecipientInfo, void* pStreamInfo) {
    return platform::GuardedCall("CryptMsgOpenToDecode", [&]() -> HCRYPTMSG {
        // Only a whole message, read at once, of whatever type it says it is.
        if ((dwMsgEncodingType & PKCS_7_ASN_ENCODING) == 0 ||
            (dwFlags & ~CMSG_DETACHED_FLAG) != 0 || dwMsgType != 0 || pRecipientInfo != nullptr ||
            pStreamInfo != nullptr)
            throw platform::Failure(E_INVALIDARG);
        auto* message = new DecodeMessage;
        std::lock_guard lock(g_mutex);
        g_live.insert(message);
        return message;
    });
}

BOOL CryptMsgUpdate(HCRYPTMSG hCryptMsg, const BYTE* pbData, DWORD cbData, BOOL fFinal) {
    return platform::GuardedCall("CryptMsgUpdate", [&]() -> BOOL {
        DecodeMessage* message = MessageOf(hCryptMsg);
        if (pbData == nullptr && cbData != 0) throw platform::Failure(E_INVALIDARG);
        if (message->complete) throw platform::Failure(CRYPT_E_MSG_ERROR);
        if (cbData > 0) message->bytes.insert(message->bytes.end(), pbData, pbData + cbData);
        message->complete = fFinal != FALSE;
        return TRUE;
    });
}

BOOL CryptMsgGetParam(HCRYPTMSG hCryptMsg, DWORD dwParamType, DWORD dwIndex, void* pvData,
                      DWORD* pcbData) {
    return platform::GuardedCall("CryptMsgGetParam", [&]() -> BOOL {
        DecodeMessage* message = MessageOf(hCryptMsg);
        if (pcbData == nullptr) throw platform::Failure(E_INVALIDARG);
        // Nothing can be told of a message before its last piece.
        if (!message->complete) throw platform::Failure(CRYPT_E_STREAM_MSG_NOT_READY);
        const BYTE* blob = message->bytes.data();
        const DWORD size = DWORD(message->bytes.size());
        switch (dwParamType) {
            case CMSG_SIGNER_COUNT_PARAM: {
                const DWORD count = SignerCount(blob, size);
                return platform::HandOut(
                    std::span<const BYTE>(reinterpret_cast<const BYTE*>(&count), sizeof count),
                    static_cast<BYTE*>(pvData), pcbData);
            }
            case CMSG_SIGNER_INFO_PARAM: {
                const auto image = SignerInfoImage(ReadSignerParts(blob, size, dwIndex),
                                                   static_cast<BYTE*>(pvData));
                return platform::HandOut(image, static_cast<BYTE*>(pvData), pcbData);
            }
            case CMSG_SIGNER_UNAUTH_ATTR_PARAM: {
                const auto parts = ReadSignerParts(blob, size, dwIndex);
                if (parts.unauthenticated.empty())
                    throw platform::Failure(CRYPT_E_ATTRIBUTES_MISSING);
                const auto image =
                    AttributesImage(parts.unauthenticated, static_cast<BYTE*>(pvData));
                return platform::HandOut(image, static_cast<BYTE*>(pvData), pcbData);
            }
            case CMSG_ENCRYPTED_DIGEST: {
                const auto parts = ReadSignerParts(blob, size, dwIndex);
                return platform::HandOut(parts.signature, static_cast<BYTE*>(pvData), pcbData);
            }
            case CMSG_ENCODED_MESSAGE:
                return platform::HandOut(message->bytes, static_cast<BYTE*>(pvData), pcbData);
            case CMSG_SIGNER_AUTH_ATTR_PARAM: {
                const auto attributes = SignerAttributes(blob, size, dwIndex);
                if (attributes.empty()) throw platform::Failure(CRYPT_E_ATTRIBUTES_MISSING);
                const auto image = AttributesImage(attributes, static_cast<BYTE*>(pvData));
                return platform::HandOut(image, static_cast<BYTE*>(pvData), pcbData);
            }
            default:
                throw platform::Failure(CRYPT_E_INVALID_MSG_TYPE);
        }
    });
}

BOOL CryptMsgControl(HCRYPTMSG hCryptMsg, DWORD dwFlags, DWORD dwCtrlType, const void* pvCtrlPara) {
    return platform::GuardedCall("CryptMsgControl", [&]() -> BOOL {
        DecodeMessage* message = MessageOf(hCryptMsg);
        if (dwFlags != 0 || pvCtrlPara == nullptr) throw platform::Failure(E_INVALIDARG);
        if (dwCtrlType != CMSG_CTRL_ADD_SIGNER_UNAUTH_ATTR) throw platform::Failure(E_INVALIDARG);
        const auto& para = *static_cast<const CMSG_CTRL_ADD_SIGNER_UNAUTH_ATTR_PARA*>(pvCtrlPara);
        if (para.cbSize < sizeof para || para.blob.pbData == nullptr || para.blob.cbData == 0)
            throw platform::Failure(E_INVALIDARG);
        if (!message->complete) throw platform::Failure(CRYPT_E_STREAM_MSG_NOT_READY);
        if (message->bytes.size() > 0xFFFFFFFFu) throw platform::Failure(CRYPT_E_ASN1_LARGE);
        message->bytes = WithUnsignedAttribute(message->bytes, para.dwSignerIndex,
                                               der::Bytes(para.blob.pbData, para.blob.cbData));
        return TRUE;
    });
}

BOOL CryptMsgClose(HCRYPTMSG hCryptMsg) {
    if (hCryptMsg == nullptr) return TRUE;
    return platform::RunGuardedCall("CryptMsgClose", [&]() -> BOOL {
        {
            std::lock_guard lock(g_mutex);
            if (g_live.erase(hCryptMsg) == 0) {
                SetLastError(E_INVALIDARG);
                return FALSE;
            }
        }
        delete static_cast<DecodeMessage*>(hCryptMsg);
        return TRUE;
    });
}
