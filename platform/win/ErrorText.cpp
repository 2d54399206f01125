#include "platform/win/ErrorText.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/seams/Seams.h"
#include "platform/win/Failure.h"
#include "platform/win/LastError.h"
#include "platform/win/WinError.h"

namespace {

struct Description {
    DWORD code;
    const char* text;
};

// Every code the platform layer sets has its description here.
constexpr Description kDescriptions[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_ACCESS_DENIED,
     "Access is denied. A store folder must have mode 0700 and its files mode 0600, owned by "
     "the user."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_BAD_ENVIRONMENT,
     "The environment is incorrect: no home folder can be found for the user."},
    {ERROR_WRITE_FAULT, "The system cannot write to the specified device."},
    {ERROR_READ_FAULT, "The system cannot read from the specified device."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found."},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found."},
    {ERROR_BAD_EXE_FORMAT, "The file is not a valid module for this system."},
    {ERROR_MORE_DATA, "More data is available."},
    {ERROR_MR_MID_NOT_FOUND,
     "The system cannot find message text for message number 0x%1 in the message file for %2."},
    {ERROR_INVALID_WINDOW_HANDLE, "Invalid window handle."},
    {ERROR_CANNOT_FIND_WND_CLASS, "Cannot find window class."},
    {ERROR_CONTROL_ID_NOT_FOUND, "Control ID not found."},
    {ERROR_RESOURCE_DATA_NOT_FOUND, "The specified image file did not contain a resource section."},
    {ERROR_RESOURCE_TYPE_NOT_FOUND,
     "The specified resource type cannot be found in the image file."},
    {ERROR_RESOURCE_LANG_NOT_FOUND,
     "The specified resource language ID cannot be found in the image file."},
    {ERROR_RESOURCE_NAME_NOT_FOUND,
     "The specified resource name cannot be found in the image file."},
    {ERROR_CANCELLED, "The operation was canceled by the user."},
    {ERROR_INVALID_TIME, "The specified time is invalid."},
    {ERROR_FILE_TOO_LARGE, "The file size exceeds the limit allowed and cannot be saved."},
    {ERROR_WINHTTP_TIMEOUT, "The operation timed out."},
    {ERROR_WINHTTP_INVALID_URL, "The URL is invalid."},
    {ERROR_WINHTTP_UNRECOGNIZED_SCHEME, "The URL does not use a recognized protocol."},
    {ERROR_WINHTTP_NAME_NOT_RESOLVED, "The server name or address could not be resolved."},
    {ERROR_WINHTTP_CANNOT_CONNECT, "A connection with the server could not be established."},
    {ERROR_WINHTTP_INVALID_SERVER_RESPONSE, "The server response could not be parsed."},
    {E_FAIL, "Unspecified error"},
    {E_OUTOFMEMORY, "Not enough memory resources are available to complete this operation."},
    {E_INVALIDARG, "The parameter is incorrect."},
    {NTE_BAD_UID, "Bad UID."},
    {NTE_BAD_KEY, "Bad Key."},
    {NTE_BAD_SIGNATURE, "Invalid Signature."},
    {NTE_BAD_ALGID, "Invalid algorithm specified."},
    {NTE_BAD_FLAGS, "Invalid flags specified."},
    {NTE_NO_MEMORY, "Insufficient memory available for the operation."},
    {NTE_EXISTS, "Object already exists."},
    {NTE_PERM, "Access denied."},
    {NTE_BAD_PROV_TYPE, "Invalid provider type specified."},
    {NTE_BAD_KEYSET, "Keyset does not exist"},
    {NTE_BAD_KEYSET_PARAM, "The Keyset parameter is invalid."},
    {NTE_NO_KEY, "Key does not exist."},
    {NTE_FAIL, "An internal error occurred."},
    {NTE_BAD_HASH, "Bad Hash."},
    {NTE_BAD_DATA, "Bad Data."},
    {NTE_NOT_SUPPORTED, "The requested operation is not supported."},
    {TRUST_E_TIME_STAMP,
     "The timestamp signature and/or certificate could not be verified or is malformed."},
    {TRUST_E_BAD_DIGEST, "The digital signature of the object did not verify."},
    {CRYPT_E_UNKNOWN_ALGO, "Unknown cryptographic algorithm."},
    {CRYPT_E_MSG_ERROR,
     "An error occurred while performing an operation on a cryptographic message."},
    {CRYPT_E_INVALID_MSG_TYPE, "Invalid cryptographic message type."},
    {CRYPT_E_ATTRIBUTES_MISSING,
     "The cryptographic message does not contain all of the requested attributes."},
    {CRYPT_E_STREAM_MSG_NOT_READY,
     "The streamed cryptographic message is not ready to return data."},
    {CRYPT_E_AUTH_ATTR_MISSING,
     "The cryptographic message does not contain an expected authenticated attribute."},
    {CRYPT_E_HASH_VALUE, "The hash value is not correct."},
    {CRYPT_E_BAD_ENCODE, "An error occurred during encode or decode operation."},
    {CRYPT_E_FILE_ERROR,
     "An error occurred while reading or writing to a file: an entry of the certificate store "
     "is damaged."},
    {CRYPT_E_NOT_FOUND, "Cannot find object or property."},
    {CRYPT_E_UNEXPECTED_MSG_TYPE, "The cryptographic message type is not expected."},
    {CRYPT_E_NO_KEY_PROPERTY, "Cannot find the private key of the certificate."},
    {CRYPT_E_NO_SIGNER,
     "The signed cryptographic message does not have a signer for the specified signer index."},
    {CRYPT_E_PENDING_CLOSE, "Final closure is pending until additional frees or closes."},
    {CRYPT_E_ASN1_ERROR, "ASN1 internal encode or decode error."},
    {CRYPT_E_ASN1_EOD, "ASN1 unexpected end of data."},
    {CRYPT_E_ASN1_CORRUPT, "ASN1 corrupted data."},
    {CRYPT_E_ASN1_LARGE, "ASN1 value too large."},
    {CRYPT_E_ASN1_BADTAG, "ASN1 bad tag value met."},
    {SCARD_W_REMOVED_CARD,
     "The smart card has been removed, so that further communication is not possible."},
    {SCARD_W_WRONG_CHV, "The card cannot be accessed because the wrong PIN was presented."},
    {SCARD_W_CHV_BLOCKED,
     "The card cannot be accessed because the maximum number of PIN entry attempts has been "
     "reached."},
};

}  // namespace

std::optional<std::string_view> SystemErrorDescription(DWORD code) {
    for (const auto& d : kDescriptions)
        if (d.code == code) return std::string_view(d.text);
    return std::nullopt;
}

DWORD FormatMessageA(DWORD dwFlags, const void* lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                     LPSTR lpBuffer, DWORD nSize, void* arguments) {
    (void)lpSource;
    (void)arguments;
    (void)dwLanguageId;  // one language: English
    return platform::GuardedCall("FormatMessageA", "", [&]() -> DWORD {
        if ((dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || lpBuffer == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        auto description = SystemErrorDescription(dwMessageId);
        if (!description) {
            // A code without a description is an answer: reports add nothing.
            platform::ExpectedResult();
            SetLastError(ERROR_MR_MID_NOT_FOUND);
            return 0;
        }
        const std::size_t length = description->size() + 2;  // CR LF, as every description ends
        if ((dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0) {
            auto* text = static_cast<char*>(std::malloc(std::max<std::size_t>(length + 1, nSize)));
            if (text == nullptr) {
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return 0;
            }
            std::memcpy(text, description->data(), description->size());
            std::memcpy(text + description->size(), "\r\n", 3);
            platform::seams::CountLive(platform::seams::Live::LocalBuffer, +1);
            *reinterpret_cast<char**>(lpBuffer) = text;
            return static_cast<DWORD>(length);
        }
        if (nSize < length + 1) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        std::memcpy(lpBuffer, description->data(), description->size());
        std::memcpy(lpBuffer + description->size(), "\r\n", 3);
        return static_cast<DWORD>(length);
    });
}

HLOCAL LocalFree(HLOCAL hMem) {
    if (hMem != nullptr) {
        std::free(hMem);
        platform::seams::CountLive(platform::seams::Live::LocalBuffer, -1);
    }
    return nullptr;
}
