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

// The signing time among the signer's signed attributes, as ISO 8601 in UTC;
// nothing when the signer gave none.
std::optional<std::string> SigningTime(const std::vector<BYTE>& message) {
    HCRYPTMSG msg = CryptMsgOpenToDecode(PKCS_7_ASN_ENCODING | X509_ASN_ENCODING,
                                         CMSG_DETACHED_FLAG, 0, 0, nullptr, nullptr);
    if (msg == nullptr) return std::nullopt;
    std::optional<std::string> out;
    DWORD size = 0;
    if (CryptMsgUpdate(msg, message.data(), DWORD(message.size()), TRUE) &&
        CryptMsgGetParam(msg, CMSG_SIGNER_AUTH_ATTR_PARAM, 0, nullptr, &size)) {
        std::vector<std::max_align_t> area(size / sizeof(std::max_align_t) + 1);
        auto* attrs = reinterpret_cast<CRYPT_ATTRIBUTES*>(area.data());
        if (CryptMsgGetParam(msg, CMSG_SIGNER_AUTH_ATTR_PARAM, 0, attrs, &size)) {
            for (DWORD i = 0; i < attrs->cAttr && !out; ++i) {
                const CRYPT_ATTRIBUTE& a = attrs->rgAttr[i];
                if (std::strcmp(a.pszObjId, szOID_RSA_signingTime) != 0 || a.cValue != 1) continue;
                FILETIME time{};
                DWORD timeSize = sizeof time;
                SYSTEMTIME st{};
                if (CryptDecodeObject(X509_ASN_ENCODING, PKCS_UTC_TIME, a.rgValue[0].pbData,
                                      a.rgValue[0].cbData, 0, &time, &timeSize) &&
                    FileTimeToSystemTime(&time, &st)) {
                    char text[64];
                    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ",
                                  unsigned(st.wYear), unsigned(st.wMonth), unsigned(st.wDay),
                                  unsigned(st.wHour), unsigned(st.wMinute), unsigned(st.wSecond));
                    out = text;
                }
            }
        }
    }
    CryptMsgClose(msg);
    return out;
}

// `verify --signature SIG --content FILE`: the detached signature `sign`
// writes, checked against the content given beside it.
int VerifyDetached(const InspectOptions& options) {
    if (options.content.empty())
        throw UsageError("--signature needs --content, the file the signature is for");
    if (!options.in.empty()) throw UsageError("--in and --signature exclude each other");
    if (options.signature == "-" && options.content == "-")
        throw UsageError("the signature and the content cannot both come from standard input");
    const std::vector<BYTE> message = SignatureBytes(options.signature);
    const std::string content = ReadInput(options.content);
    if (content.size() > 0xFFFFFFFFu || message.size() > 0xFFFFFFFFu)
        throw UsageError("the signature or the content is too large");

    CRYPT_VERIFY_MESSAGE_PARA para{};
    para.cbSize = sizeof para;
    para.dwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    const BYTE* pieces[] = {reinterpret_cast<const BYTE*>(content.data())};
    DWORD sizes[] = {DWORD(content.size())};
    PCCERT_CONTEXT signer = nullptr;
    const bool verified =
        CryptVerifyDetachedMessageSignature(&para, 0, message.data(), DWORD(message.size()), 1,
                                            pieces, sizes, &signer) != FALSE;
    std::string out;
    if (options.json) {
        nlohmann::json result = {{"verified", verified}};
        if (verified) {
            result["subject"] = SubjectText(signer);
            result["serial"] = SerialText(signer);
            const auto time = SigningTime(message);
            result["signingTime"] = time ? nlohmann::json(*time) : nlohmann::json(nullptr);
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
        "hexadecimal text, or with --signature and --content a signature as `sign` writes it; "
        "prints true or false",
        verifyOptions);
    verify
        ->add_option("--signature", verifyOptions->signature,
                     "File holding a detached signature: base64 text as `sign` writes it (line "
                     "breaks ignored) or DER")
        ->type_name("FILE");
    verify
        ->add_option("--content", verifyOptions->content,
                     "File holding the exact bytes the signature is for (with --signature)")
        ->type_name("FILE");
    verify->add_flag("--json", verifyOptions->json,
                     "With --signature: print a JSON object with the verdict and, when it "
                     "verifies, the signer's subject, serial number (least significant byte "
                     "first) and signing time");
    verify->callback([verifyOptions, &exitCode] {
        if (!verifyOptions->signature.empty()) {
            exitCode = VerifyDetached(*verifyOptions);
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
