// Reading a signed message without verifying it: the count of signers and
// the signed attributes of each, through a message handle.

#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>
#include <vector>

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

// The attributes as one CRYPT_ATTRIBUTES with all it points to after it,
// the pointers made for the buffer at `base`.
std::vector<BYTE> AttributesImage(const std::vector<SignedAttribute>& attributes, BYTE* base) {
    std::size_t size = Aligned(sizeof(CRYPT_ATTRIBUTES));
    const std::size_t attrsAt = size;
    size = Aligned(size + attributes.size() * sizeof(CRYPT_ATTRIBUTE));
    std::vector<std::size_t> blobsAt, bytesAt;
    for (const auto& a : attributes) {
        blobsAt.push_back(size);
        size = Aligned(size + a.values.size() * sizeof(CRYPT_ATTR_BLOB));
    }
    for (const auto& a : attributes) {
        bytesAt.push_back(size);
        size += a.oid.size() + 1;
        for (const auto v : a.values) size += v.size();
    }
    if (size > 0xFFFFFFFFu) throw Failed(CRYPT_E_ASN1_LARGE);
    std::vector<BYTE> image(size);
    BYTE* const at = image.data();
    const auto pointer = [base](std::size_t offset) { return base + offset; };
    CRYPT_ATTRIBUTES head{DWORD(attributes.size()),
                          reinterpret_cast<PCRYPT_ATTRIBUTE>(pointer(attrsAt))};
    std::memcpy(at, &head, sizeof head);
    for (std::size_t i = 0; i < attributes.size(); ++i) {
        const auto& a = attributes[i];
        std::size_t bytes = bytesAt[i];
        CRYPT_ATTRIBUTE attr{reinterpret_cast<LPSTR>(pointer(bytes)), DWORD(a.values.size()),
                             reinterpret_cast<CRYPT_ATTR_BLOB*>(pointer(blobsAt[i]))};
        std::memcpy(at + attrsAt + i * sizeof attr, &attr, sizeof attr);
        std::memcpy(at + bytes, a.oid.c_str(), a.oid.size() + 1);
        bytes += a.oid.size() + 1;
        for (std::size_t j = 0; j < a.values.size(); ++j) {
            const auto v = a.values[j];
            if (!v.empty()) std::memcpy(at + bytes, v.data(), v.size());
            CRYPT_ATTR_BLOB blob{DWORD(v.size()), pointer(bytes)};
            std::memcpy(at + blobsAt[i] + j * sizeof blob, &blob, sizeof blob);
            bytes += v.size();
        }
    }
    return image;
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
