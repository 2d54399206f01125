#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <vector>

#include "hosts/ostrel/Cli.h"
#include "hosts/shared/ControlHost.h"
#include "platform/crypt/WinCrypt.h"
#include "platform/text/Utf.h"
#include "platform/win/ErrorText.h"
#include "platform/win/LastError.h"
#include "platform/win/Time.h"

namespace ostrel::cli {

namespace {

struct InspectOptions {
    std::string in;
    bool exact = false;
    // A detached signature and the content it signs (verify only).
    std::string signature;
    std::string content;
    bool json = false;
};

// The hexadecimal text as the control receives it: the input with one
// trailing line break taken off (editors and `echo` add one), unless the
// caller wants every byte kept.
std::string MessageText(const InspectOptions& options) {
    std::string text = ReadInput(options.in);
    // The control takes a NUL-terminated text: a NUL inside would silently
    // cut it, and the verdict would be about another message.
    if (const auto nul = text.find('\0'); nul != std::string::npos)
        throw UsageError("the input holds a NUL byte at offset " + std::to_string(nul) +
                         "; a signed message is expected as hexadecimal text");
    // Automation hands the control text; bytes that are not UTF-8 could only
    // arrive altered.
    if (!platform::com::IsValidUtf8(text))
        throw UsageError(
            "the input is not UTF-8 text; a signed message is expected as "
            "hexadecimal text");
    if (!options.exact) {
        if (text.ends_with("\r\n"))
            text.resize(text.size() - 2);
        else if (text.ends_with('\n'))
            text.resize(text.size() - 1);
    }
    return text;
}

CLI::App* AddInspectCommand(CLI::App& app, const std::string& name, const std::string& help,
                            std::shared_ptr<InspectOptions> options) {
    CLI::App* command = app.add_subcommand(name, help);
    command
        ->add_option("--in", options->in,
                     "File holding the signed message as hexadecimal text (default: standard "
                     "input)")
        ->type_name("FILE");
    command->add_flag("--exact", options->exact,
                      "Hand over the input byte for byte (by default one trailing line break is "
                      "removed)");
    return command;
}

// Calls an inspection method of the control with the message's text.
platform::com::Variant Inspect(const std::string& method, const std::string& text) {
    std::vector<platform::com::Variant> args;
    args.push_back(platform::com::Variant::Str(text));
    return CallControl(method, std::move(args));
}

// Prints a text result: the text and a line break; nothing for the null string.
int PrintText(const platform::com::Variant& result) {
    const auto text = TextResult(result);
    if (!text) return kExitNull;
    WriteOutput("", *text + "\n");
    return text->empty() ? kExitFalse : kExitOk;
}

// The bytes of a signature as `sign` writes it: base64 text, its line breaks
// ignored; nothing when the text is not base64.
std::optional<std::vector<BYTE>> Base64Bytes(const std::string& text) {
    std::vector<BYTE> out;
    out.reserve(text.size() / 4 * 3);
    unsigned value = 0;
    int bits = 0;
    int padding = 0;
    std::size_t count = 0;
    for (const char c : text) {
        if (c == '\r' || c == '\n') continue;
        int digit;
        if (c >= 'A' && c <= 'Z')
            digit = c - 'A';
        else if (c >= 'a' && c <= 'z')
            digit = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            digit = c - '0' + 52;
        else if (c == '+')
            digit = 62;
        else if (c == '/')
            digit = 63;
        else if (c == '=')
            digit = -1;
        else
            return std::nullopt;
        ++count;
        if (digit < 0) {
            if (++padding > 2) return std::nullopt;
            continue;
        }
        if (padding > 0) return std::nullopt;  // nothing follows the padding
        value = (value << 6) | unsigned(digit);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(BYTE(value >> bits));
        }
    }
    if (count == 0 || count % 4 != 0) return std::nullopt;
    return out;
}

// The detached signature named on the command line: base64 text, or DER.
std::vector<BYTE> SignatureBytes(const std::string& path) {
    const std::string raw = ReadInput(path);
    if (auto decoded = Base64Bytes(raw)) return *decoded;
    if (!raw.empty() && static_cast<unsigned char>(raw[0]) == 0x30)
        return std::vector<BYTE>(raw.begin(), raw.end());
    throw UsageError((path.empty() || path == "-" ? std::string("the signature") : path) +
                     " is neither base64 text nor a DER message");
}

std::string SubjectText(PCCERT_CONTEXT signer) {
    CERT_NAME_BLOB* subject = &signer->pCertInfo->Subject;
    const DWORD size = CertNameToStrA(X509_ASN_ENCODING, subject, CERT_X500_NAME_STR, nullptr, 0);
    std::string text(size, '\0');
    CertNameToStrA(X509_ASN_ENCODING, subject, CERT_X500_NAME_STR, text.data(), size);
    text.resize(std::strlen(text.c_str()));
    return text;
}

// Least significant byte first, as the control gives it.
std::string SerialText(PCCERT_CONTEXT signer) {
    const CRYPT_INTEGER_BLOB& serial = signer->pCertInfo->SerialNumber;
    std::string text;
    char pair[3];
    for (DWORD i = 0; i < serial.cbData; ++i) {
        std::snprintf(pair, sizeof pair, "%02X", serial.pbData[i]);
        text += pair;
    }
    return text;
}

// A FILETIME as ISO 8601 in UTC, with milliseconds where it has them.
std::optional<std::string> IsoTime(const FILETIME& time) {
    SYSTEMTIME st{};
    if (!FileTimeToSystemTime(&time, &st)) return std::nullopt;
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", unsigned(st.wYear),
                  unsigned(st.wMonth), unsigned(st.wDay), unsigned(st.wHour), unsigned(st.wMinute),
                  unsigned(st.wSecond));
    std::string out = text;
    if (st.wMilliseconds != 0) {
        std::snprintf(text, sizeof text, ".%03u", unsigned(st.wMilliseconds));
        out += text;
    }
    return out + "Z";
}

// Object identifiers of the attributes and algorithms a report names.
constexpr char kSigningCertificate[] = "1.2.840.113549.1.9.16.2.12";
constexpr char kSigningCertificateV2[] = "1.2.840.113549.1.9.16.2.47";
constexpr char kSignatureTimeStampToken[] = "1.2.840.113549.1.9.16.2.14";

bool Is(LPCSTR oid, const char* expected) {
    return oid != nullptr && std::strcmp(oid, expected) == 0;
}

std::string DigestName(LPCSTR oid) {
    static const std::pair<const char*, const char*> kNames[] = {
        {szOID_RSA_MD5, "MD5"},         {szOID_OIWSEC_sha1, "SHA-1"},
        {szOID_NIST_sha256, "SHA-256"}, {szOID_NIST_sha384, "SHA-384"},
        {szOID_NIST_sha512, "SHA-512"},
    };
    for (const auto& [known, name] : kNames)
        if (Is(oid, known)) return name;
    return oid != nullptr ? oid : "";
}

// The signature algorithm of a signer: its key's kind and, for RSA, the
// padding. The identifiers that name a digest beside RSA or ECDSA mean the
// same signature as the plain ones.
std::string SignatureAlgorithmName(LPCSTR oid) {
    static const std::pair<const char*, const char*> kNames[] = {
        {szOID_RSA_RSA, "RSA-PKCS1"},
        {"1.2.840.113549.1.1.4", "RSA-PKCS1"},   // md5WithRSAEncryption
        {"1.2.840.113549.1.1.5", "RSA-PKCS1"},   // sha1WithRSAEncryption
        {"1.2.840.113549.1.1.11", "RSA-PKCS1"},  // sha256WithRSAEncryption
        {"1.2.840.113549.1.1.12", "RSA-PKCS1"},  // sha384WithRSAEncryption
        {"1.2.840.113549.1.1.13", "RSA-PKCS1"},  // sha512WithRSAEncryption
        {szOID_RSA_SSA_PSS, "RSA-PSS"},
        {szOID_ECC_PUBLIC_KEY, "ECDSA"},
        {"1.2.840.10045.4.1", "ECDSA"},  // ecdsa-with-SHA1
        {szOID_ECDSA_SHA256, "ECDSA"},
        {szOID_ECDSA_SHA384, "ECDSA"},
        {szOID_ECDSA_SHA512, "ECDSA"},
        {"1.3.101.112", "Ed25519"},
    };
    for (const auto& [known, name] : kNames)
        if (Is(oid, known)) return name;
    return oid != nullptr ? oid : "";
}

const CRYPT_ATTRIBUTE* FindAttribute(const CRYPT_ATTRIBUTES& attrs, const char* oid) {
    for (DWORD i = 0; i < attrs.cAttr; ++i)
        if (Is(attrs.rgAttr[i].pszObjId, oid)) return &attrs.rgAttr[i];
    return nullptr;
}

// A parameter of the first signer as CryptMsgGetParam gives it, in memory
// aligned for the structure it holds; nothing when the message has none.
std::optional<std::vector<std::max_align_t>> SignerParam(HCRYPTMSG msg, DWORD param) {
    DWORD size = 0;
    if (!CryptMsgGetParam(msg, param, 0, nullptr, &size)) return std::nullopt;
    std::vector<std::max_align_t> area(size / sizeof(std::max_align_t) + 1);
    if (!CryptMsgGetParam(msg, param, 0, area.data(), &size)) return std::nullopt;
    return area;
}

// What the time-stamp token of a CAdES-T signature says, checked against the
// signature value it stamps.
nlohmann::json TimestampReport(const CRYPT_ATTRIBUTE& attribute,
                               const std::vector<BYTE>& signatureValue) {
    nlohmann::json out = {{"verified", false},
                          {"time", nullptr},
                          {"authority", nullptr},
                          {"imprintMatches", nullptr}};
    if (attribute.cValue != 1) {
        out["error"] = "the signature carries " + std::to_string(attribute.cValue) +
                       " time-stamp tokens in one attribute";
        return out;
    }
    PCRYPT_TIMESTAMP_CONTEXT context = nullptr;
    PCCERT_CONTEXT authority = nullptr;
    const CRYPT_ATTR_BLOB& token = attribute.rgValue[0];
    if (CryptVerifyTimeStampSignature(token.pbData, token.cbData, signatureValue.data(),
                                      DWORD(signatureValue.size()), nullptr, &context, &authority,
                                      nullptr)) {
        out["verified"] = true;
        out["imprintMatches"] = true;
        if (context != nullptr && context->pTimeStamp != nullptr)
            if (const auto time = IsoTime(context->pTimeStamp->ftTime)) out["time"] = *time;
        if (authority != nullptr) out["authority"] = SubjectText(authority);
    } else {
        const DWORD error = GetLastError();
        if (error == DWORD(CRYPT_E_HASH_VALUE)) out["imprintMatches"] = false;
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", unsigned(error));
        const auto text = SystemErrorDescription(error);
        out["error"] = text ? std::string(code) + " " + std::string(*text) : std::string(code);
    }
    CryptMemFree(context);
    CertFreeCertificateContext(authority);
    return out;
}

// What a verified message's first signer used and added: digest, signature
// algorithm, format, signing time and, for CAdES-T, the time stamp. Read with
// the platform's message decoding, the message as it was given.
void AddSignerReport(nlohmann::json& report, const std::vector<BYTE>& message, bool detached) {
    report["digest"] = nullptr;
    report["signatureAlgorithm"] = nullptr;
    report["format"] = nullptr;
    report["signingTime"] = nullptr;
    HCRYPTMSG msg = CryptMsgOpenToDecode(PKCS_7_ASN_ENCODING | X509_ASN_ENCODING,
                                         detached ? CMSG_DETACHED_FLAG : 0, 0, 0, nullptr, nullptr);
    if (msg == nullptr) return;
    if (CryptMsgUpdate(msg, message.data(), DWORD(message.size()), TRUE)) {
        if (const auto area = SignerParam(msg, CMSG_SIGNER_INFO_PARAM)) {
            const auto* info = reinterpret_cast<const CMSG_SIGNER_INFO*>(area->data());
            report["digest"] = DigestName(info->HashAlgorithm.pszObjId);
            report["signatureAlgorithm"] =
                SignatureAlgorithmName(info->HashEncryptionAlgorithm.pszObjId);
            if (const CRYPT_ATTRIBUTE* time = FindAttribute(info->AuthAttrs, szOID_RSA_signingTime);
                time != nullptr && time->cValue == 1) {
                FILETIME when{};
                DWORD size = sizeof when;
                if (CryptDecodeObject(X509_ASN_ENCODING, PKCS_UTC_TIME, time->rgValue[0].pbData,
                                      time->rgValue[0].cbData, 0, &when, &size))
                    if (const auto text = IsoTime(when)) report["signingTime"] = *text;
            }
            const bool cades = FindAttribute(info->AuthAttrs, kSigningCertificateV2) != nullptr ||
                               FindAttribute(info->AuthAttrs, kSigningCertificate) != nullptr;
            const CRYPT_ATTRIBUTE* stamp =
                FindAttribute(info->UnauthAttrs, kSignatureTimeStampToken);
            report["format"] = !cades ? "CMS" : stamp != nullptr ? "CAdES-T" : "CAdES-B";
            if (stamp != nullptr) {
                DWORD size = 0;
                std::vector<BYTE> value;
                if (CryptMsgGetParam(msg, CMSG_ENCRYPTED_DIGEST, 0, nullptr, &size)) {
                    value.resize(size);
                    if (!CryptMsgGetParam(msg, CMSG_ENCRYPTED_DIGEST, 0, value.data(), &size))
                        value.clear();
                    value.resize(size);
                }
                report["timestamp"] = TimestampReport(*stamp, value);
            }
        }
    }
    CryptMsgClose(msg);
}

// `verify --signature SIG [--content FILE]`: the signature `sign` writes,
// checked against the content given beside it, or one that carries its
// content.
int VerifySignature(const InspectOptions& options) {
    if (!options.in.empty()) throw UsageError("--in and --signature exclude each other");
    if (options.signature == "-" && options.content == "-")
        throw UsageError("the signature and the content cannot both come from standard input");
    const std::vector<BYTE> message = SignatureBytes(options.signature);
    const bool detached = !options.content.empty();
    const std::string content = detached ? ReadInput(options.content) : std::string();
    if (content.size() > 0xFFFFFFFFu || message.size() > 0xFFFFFFFFu)
        throw UsageError("the signature or the content is too large");

    CRYPT_VERIFY_MESSAGE_PARA para{};
    para.cbSize = sizeof para;
    para.dwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    PCCERT_CONTEXT signer = nullptr;
    bool verified = false;
    if (detached) {
        const BYTE* pieces[] = {reinterpret_cast<const BYTE*>(content.data())};
        DWORD sizes[] = {DWORD(content.size())};
        verified =
            CryptVerifyDetachedMessageSignature(&para, 0, message.data(), DWORD(message.size()), 1,
                                                pieces, sizes, &signer) != FALSE;
    } else {
        verified = CryptVerifyMessageSignature(&para, 0, message.data(), DWORD(message.size()),
                                               nullptr, nullptr, &signer) != FALSE;
        // A detached signature read without its content is a question
        // asked wrong, not a signature that fails.
        if (!verified && GetLastError() == CRYPT_E_INVALID_MSG_TYPE)
            throw UsageError(
                "the signature does not carry its content: --content names the "
                "file it is for");
    }
    std::string out;
    if (options.json) {
        nlohmann::json result = {{"verified", verified}};
        if (verified) {
            result["subject"] = SubjectText(signer);
            result["serial"] = SerialText(signer);
            result["detached"] = detached;
            AddSignerReport(result, message, detached);
        }
        out = result.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    } else {
        out = verified ? "true\n" : "false\n";
    }
    CertFreeCertificateContext(signer);
    WriteOutput("", out);
    return verified ? kExitOk : kExitFalse;
}

}  // namespace

void AddInspectCommands(CLI::App& app, int& exitCode) {
    auto verifyOptions = std::make_shared<InspectOptions>();
    CLI::App* verify = AddInspectCommand(
        app, "verify",
        "Verify the first signature of a signed message that carries its content, given as "
        "hexadecimal text, or with --signature a signature as `sign` writes it (with --content "
        "for a detached one); prints true or false",
        verifyOptions);
    verify
        ->add_option("--signature", verifyOptions->signature,
                     "File holding a detached signature: base64 text as `sign` writes it (line "
                     "breaks ignored) or DER")
        ->type_name("FILE");
    verify
        ->add_option("--content", verifyOptions->content,
                     "File holding the exact bytes the signature is for (with --signature); "
                     "without it the signature must carry its content")
        ->type_name("FILE");
    verify->add_flag("--json", verifyOptions->json,
                     "With --signature: print a JSON object with the verdict and, when it "
                     "verifies, the signer's subject, serial number (least significant byte "
                     "first), whether the content is detached, digest, signatureAlgorithm, "
                     "format (CMS, CAdES-B, CAdES-T), signingTime and for CAdES-T the "
                     "timestamp (verified, time, authority, imprintMatches)");
    verify->callback([verifyOptions, &exitCode] {
        if (!verifyOptions->signature.empty()) {
            exitCode = VerifySignature(*verifyOptions);
            return;
        }
        if (!verifyOptions->content.empty() || verifyOptions->json)
            throw UsageError("--content and --json go with --signature");
        const std::string text = MessageText(*verifyOptions);
        const bool verified = BoolResult(Inspect("VerifyMessage", text));
        WriteOutput("", verified ? "true\n" : "false\n");
        exitCode = verified ? kExitOk : kExitFalse;
    });

    auto subjectOptions = std::make_shared<InspectOptions>();
    AddInspectCommand(app, "subject",
                      "Print the subject name of the certificate that made the first signature "
                      "of a signed message given as hexadecimal text",
                      subjectOptions)
        ->callback([subjectOptions, &exitCode] {
            const std::string text = MessageText(*subjectOptions);
            exitCode = PrintText(Inspect("GetSubjectName", text));
        });

    auto serialOptions = std::make_shared<InspectOptions>();
    AddInspectCommand(app, "serial",
                      "Print the serial number (least significant byte first) of the certificate "
                      "that made the first signature of a signed message given as hexadecimal "
                      "text",
                      serialOptions)
        ->callback([serialOptions, &exitCode] {
            const std::string text = MessageText(*serialOptions);
            exitCode = PrintText(Inspect("GetSerialNumber", text));
        });
}

}  // namespace ostrel::cli
