#include "signing/SignerOptions.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>

namespace {

using nlohmann::json;

// The type of a JSON value as a message names it.
std::string TypeName(const json& value) {
    switch (value.type()) {
        case json::value_t::null:
            return "null";
        case json::value_t::boolean:
            return "a boolean";
        case json::value_t::string:
            return "a string";
        case json::value_t::array:
            return "an array";
        case json::value_t::object:
            return "an object";
        case json::value_t::number_float:
        case json::value_t::number_integer:
        case json::value_t::number_unsigned:
            return "a number";
        default:
            return "an unknown value";
    }
}

struct Refusal {
    std::string text;
};

[[noreturn]] void Refuse(std::string text) {
    throw Refusal{std::move(text)};
}

[[noreturn]] void WrongType(const std::string& key, const char* wanted, const json& value) {
    Refuse("The option \"" + key + "\" must be " + wanted + ", not " + TypeName(value) + ".");
}

const std::string& Text(const std::string& key, const json& value) {
    if (!value.is_string()) WrongType(key, "a string", value);
    return value.get_ref<const std::string&>();
}

bool Flag(const std::string& key, const json& value) {
    if (!value.is_boolean()) WrongType(key, "true or false", value);
    return value.get<bool>();
}

std::optional<long> Position(const json& value) {
    if (value.is_string()) {
        if (value.get_ref<const std::string&>() == "choose") return std::nullopt;
        Refuse("The option \"certificate\" must be a position or \"choose\", not \"" +
               value.get<std::string>() + "\".");
    }
    if (value.is_number_unsigned() || value.is_number_integer()) {
        const auto n = value.get<std::int64_t>();
        if (value.is_number_integer() && !value.is_number_unsigned() && n < 0)
            Refuse("The option \"certificate\" must not be negative: " + std::to_string(n) + ".");
        if (value.is_number_unsigned() &&
            value.get<std::uint64_t>() > std::uint64_t(std::numeric_limits<int32_t>::max()))
            Refuse("The option \"certificate\" is too large: " + value.dump() + ".");
        if (n > std::numeric_limits<int32_t>::max())
            Refuse("The option \"certificate\" is too large: " + value.dump() + ".");
        return static_cast<long>(n);
    }
    if (value.is_number_float()) {
        const double d = value.get<double>();
        if (std::isfinite(d) && d == std::floor(d) && d >= 0 &&
            d <= double(std::numeric_limits<int32_t>::max()))
            return static_cast<long>(d);
        Refuse("The option \"certificate\" must be a whole position, not " + value.dump() + ".");
    }
    WrongType("certificate", "a position or \"choose\"", value);
}

SignerDigest Digest(const json& value) {
    const std::string& name = Text("digest", value);
    if (name == "SHA-256") return SignerDigest::Sha256;
    if (name == "SHA-384") return SignerDigest::Sha384;
    if (name == "SHA-512") return SignerDigest::Sha512;
    if (name == "MD5" || name == "SHA-1" || name == "SHA1")
        Refuse("The digest \"" + name +
               "\" is not offered: it is no longer safe. Use \"SHA-256\", \"SHA-384\" or "
               "\"SHA-512\".");
    Refuse("The option \"digest\" must be \"SHA-256\", \"SHA-384\" or \"SHA-512\", not \"" + name +
           "\".");
}

SignerPadding Padding(const json& value) {
    const std::string& name = Text("padding", value);
    if (name == "PKCS1") return SignerPadding::Pkcs1;
    if (name == "PSS") return SignerPadding::Pss;
    Refuse("The option \"padding\" must be \"PKCS1\" or \"PSS\", not \"" + name + "\".");
}

SignerFormat Format(const json& value) {
    const std::string& name = Text("format", value);
    if (name == "CMS") return SignerFormat::Cms;
    if (name == "CAdES-B") return SignerFormat::CadesB;
    if (name == "CAdES-T") return SignerFormat::CadesT;
    Refuse("The option \"format\" must be \"CMS\", \"CAdES-B\" or \"CAdES-T\", not \"" + name +
           "\".");
}

std::string Url(const json& value) {
    const std::string& url = Text("tsa", value);
    const auto scheme = url.find("://");
    const std::string lower = scheme == std::string::npos ? "" : url.substr(0, scheme);
    if (lower != "http" && lower != "https")
        Refuse("The option \"tsa\" must be an http or https URL, not \"" + url + "\".");
    return url;
}

KeyUsageBit Usage(const json& value) {
    static const std::pair<const char*, KeyUsageBit> kNames[] = {
        {"digitalSignature", KeyUsageBit::DigitalSignature},
        {"nonRepudiation", KeyUsageBit::NonRepudiation},
        {"contentCommitment", KeyUsageBit::NonRepudiation},
        {"keyEncipherment", KeyUsageBit::KeyEncipherment},
        {"dataEncipherment", KeyUsageBit::DataEncipherment},
        {"keyAgreement", KeyUsageBit::KeyAgreement},
        {"keyCertSign", KeyUsageBit::KeyCertSign},
        {"cRLSign", KeyUsageBit::CrlSign},
        {"encipherOnly", KeyUsageBit::EncipherOnly},
        {"decipherOnly", KeyUsageBit::DecipherOnly},
    };
    const std::string& name = Text("filter.keyUsage", value);
    for (const auto& [known, bit] : kNames)
        if (name == known) return bit;
    Refuse("The key usage \"" + name + "\" in \"filter.keyUsage\" is unknown.");
}

CertificateFilter Filter(const json& value) {
    if (!value.is_object()) WrongType("filter", "an object", value);
    CertificateFilter filter;
    for (const auto& [key, item] : value.items()) {
        if (key == "validNow") {
            filter.validNow = Flag("filter.validNow", item);
        } else if (key == "keyUsage") {
            if (!item.is_array()) WrongType("filter.keyUsage", "an array of names", item);
            for (const auto& name : item) filter.keyUsage.push_back(Usage(name));
        } else if (key == "issuer") {
            filter.issuer = Text("filter.issuer", item);
        } else {
            Refuse("The option \"filter." + key + "\" is unknown.");
        }
    }
    return filter;
}

SignerOptions Parse(std::string_view text) {
    SignerOptions options;
    // No options at all: every default.
    if (text.find_first_not_of(" \t\r\n") == std::string_view::npos) return options;
    json root;
    try {
        root = json::parse(text);
    } catch (const json::parse_error& e) {
        Refuse(std::string("The options are not JSON: ") + e.what());
    }
    if (!root.is_object()) Refuse("The options must be a JSON object, not " + TypeName(root) + ".");
    for (const auto& [key, value] : root.items()) {
        if (key == "certificate")
            options.position = Position(value);
        else if (key == "digest")
            options.digest = Digest(value);
        else if (key == "padding") {
            options.padding = Padding(value);
            options.paddingGiven = true;
        } else if (key == "format")
            options.format = Format(value);
        else if (key == "detached")
            options.detached = Flag("detached", value);
        else if (key == "tsa")
            options.tsa = Url(value);
        else if (key == "filter")
            options.filter = Filter(value);
        else
            Refuse("The option \"" + key + "\" is unknown.");
    }
    return options;
}

}  // namespace

SignerOptionsResult ParseSignerOptions(std::string_view json) {
    try {
        return Parse(json);
    } catch (const Refusal& refusal) {
        return refusal.text;
    }
}

const char* DigestName(SignerDigest digest) {
    switch (digest) {
        case SignerDigest::Sha384:
            return "SHA-384";
        case SignerDigest::Sha512:
            return "SHA-512";
        default:
            return "SHA-256";
    }
}

const char* FormatName(SignerFormat format) {
    switch (format) {
        case SignerFormat::CadesB:
            return "CAdES-B";
        case SignerFormat::CadesT:
            return "CAdES-T";
        default:
            return "CMS";
    }
}
