#pragma once
// The signer's options: the JSON text its methods take, read into what the
// signing pipeline and the chooser use. A pure function of the text: it
// opens no store and reads no clock; whatever it refuses comes back as a
// sentence that names the key, the type or the value at fault.
//
//   {"certificate": 0 | "choose", "digest": "SHA-256" | "SHA-384" | "SHA-512",
//    "padding": "PKCS1" | "PSS", "format": "CMS" | "CAdES-B" | "CAdES-T",
//    "detached": true, "tsa": "http://...",
//    "filter": {"validNow": true, "keyUsage": ["nonRepudiation"], "issuer": "..."}}

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

enum class SignerDigest { Sha256, Sha384, Sha512 };
enum class SignerPadding { Pkcs1, Pss };
enum class SignerFormat { Cms, CadesB, CadesT };

// The bits of the key-usage extension, by their position in it.
enum class KeyUsageBit {
    DigitalSignature = 0,
    NonRepudiation = 1,
    KeyEncipherment = 2,
    DataEncipherment = 3,
    KeyAgreement = 4,
    KeyCertSign = 5,
    CrlSign = 6,
    EncipherOnly = 7,
    DecipherOnly = 8,
};

// Which certificates the chooser lists: every one when nothing is set.
struct CertificateFilter {
    bool validNow = false;              // only those within their validity period now
    std::vector<KeyUsageBit> keyUsage;  // only those whose key may be used for all of these
    std::optional<std::string> issuer;  // only those whose issuer's name holds this text
    bool Empty() const { return !validNow && keyUsage.empty() && !issuer; }
};

struct SignerOptions {
    std::optional<long> position;  // the store position; none: the user chooses
    SignerDigest digest = SignerDigest::Sha256;
    SignerPadding padding = SignerPadding::Pkcs1;
    bool paddingGiven = false;  // said explicitly (an EC key refuses PSS only)
    SignerFormat format = SignerFormat::Cms;
    bool detached = true;
    std::optional<std::string> tsa;  // the time-stamping authority's URL
    CertificateFilter filter;
};

// The options, or the sentence that says why there are none.
using SignerOptionsResult = std::variant<SignerOptions, std::string>;
SignerOptionsResult ParseSignerOptions(std::string_view json);

// Names as the options spell them, for messages.
const char* DigestName(SignerDigest digest);
const char* FormatName(SignerFormat format);
