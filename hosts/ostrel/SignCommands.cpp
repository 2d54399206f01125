#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "hosts/ostrel/Cli.h"
#include "hosts/shared/ControlHost.h"
#include "platform/text/Bstr.h"

namespace ostrel::cli {

namespace {

struct SignOptions {
    std::optional<std::int32_t> index;
    std::string in;
    std::string out;
    // The signer's choices; with none of them the control's own method signs.
    std::optional<std::string> digest;
    std::optional<std::string> padding;
    std::optional<std::string> format;
    std::optional<std::string> tsa;
    bool attached = false;

    bool UsesSigner() const { return digest || padding || format || tsa || attached; }
};

// The options text the signer takes, from the command line's choices. A
// negative position lets the user choose, as it does for the control.
std::string SignerOptions(const SignOptions& options) {
    nlohmann::json out = nlohmann::json::object();
    if (options.index && *options.index >= 0)
        out["certificate"] = *options.index;
    else
        out["certificate"] = "choose";
    if (options.digest) out["digest"] = *options.digest;
    if (options.padding) out["padding"] = *options.padding;
    if (options.format) out["format"] = *options.format;
    if (options.tsa) out["tsa"] = *options.tsa;
    if (options.attached) out["detached"] = false;
    return out.dump();
}

// Signs with the signer: options it refuses are the user's to put right.
std::string SignWithSigner(const SignOptions& options, platform::com::Bstr text) {
    std::vector<platform::com::Variant> args;
    args.push_back(platform::com::Variant::TakeBstr(text.Release()));
    args.push_back(platform::com::Variant::Str(SignerOptions(options)));
    try {
        return TextResult(CallSigner("Sign", std::move(args))).value_or("");
    } catch (const Failure& e) {
        if (e.hresult == HRESULT(E_INVALIDARG)) throw UsageError(e.what());
        throw;
    }
}

// The text to sign, as the string the control takes, made while the input is
// read: the bytes are never held whole beside their UTF-16 form, so a large
// text costs its string and little more. The control signs text: bytes it
// could not carry whole are refused here rather than signed shortened or
// altered.
platform::com::Bstr ReadSignableText(const std::string& path) {
    constexpr std::size_t kPiece = 256 * 1024;
    InputFile input(path);
    const std::string source = input.IsStandardInput() ? std::string("the input") : path;
    const auto tooLarge = [&] {
        return UsageError(input.Name() + " is larger than " + std::to_string(kMaxInput) + " bytes");
    };
    platform::com::BstrBuilder text;
    if (const auto size = input.Size()) {
        if (*size > kMaxInput) throw tooLarge();
        text.Reserve(*size);
    }
    // The pieces are read into memory that is neither cleared first nor
    // larger than the file needs: a short text costs no quarter mebibyte of
    // pages the process would touch only to zero them.
    const std::size_t room = std::min<std::size_t>(
        kPiece, input.Size() ? std::max<std::size_t>(*input.Size() + 1, 4096) : kPiece);
    const auto piece = std::make_unique_for_overwrite<char[]>(room);
    std::size_t offset = 0;
    while (const std::size_t n = input.Read(piece.get(), room)) {
        const std::string_view bytes(piece.get(), n);
        if (const auto nul = bytes.find('\0'); nul != std::string_view::npos)
            throw UsageError(source + " holds a NUL byte at offset " +
                             std::to_string(offset + nul) + "; only text can be signed");
        offset += n;
        if (offset > kMaxInput) throw tooLarge();
        text.Append(bytes);
    }
    auto result = text.Finish();
    if (!text.WellFormed())
        throw UsageError(source + " is not valid UTF-8 text; only text can be signed");
    return result;
}

}  // namespace

void AddSignCommands(CLI::App& app, int& exitCode) {
    auto options = std::make_shared<SignOptions>();
    CLI::App* sign = app.add_subcommand(
        "sign",
        "Sign the exact bytes of a text (a file or standard input) and write the base64 text of "
        "the detached signed message. Without --index the user chooses the certificate. "
        "--digest, --padding, --format, --tsa and --attached sign with OSTREL.Signer.1 (SHA-2, "
        "RSA-PSS, ECDSA, CAdES); without them the control signs as its fixed method does.");
    sign->add_option("--index", options->index,
                     "Position of the certificate in the personal store (0 is the first); a "
                     "negative position lets the user choose");
    sign->add_option("--in", options->in, "File to sign (default: standard input)");
    sign->add_option("--out", options->out,
                     "File to write the signature to (default: standard output)");
    sign->add_option("--digest", options->digest,
                     "Sign with OSTREL.Signer.1 using this digest: SHA-256 (its default), "
                     "SHA-384 or SHA-512")
        ->type_name("DIGEST")
        ->transform(CLI::IsMember({"SHA-256", "SHA-384", "SHA-512"}, CLI::ignore_case));
    sign->add_option("--padding", options->padding,
                     "Sign with OSTREL.Signer.1 using this padding for an RSA key: PKCS1 (its "
                     "default) or PSS")
        ->type_name("PADDING")
        ->transform(CLI::IsMember({"PKCS1", "PSS"}, CLI::ignore_case));
    sign->add_option("--format", options->format,
                     "Sign with OSTREL.Signer.1 in this format: CMS (its default), CAdES-B or "
                     "CAdES-T (with a time stamp)")
        ->type_name("FORMAT")
        ->transform(CLI::IsMember({"CMS", "CAdES-B", "CAdES-T"}, CLI::ignore_case));
    sign->add_option("--tsa", options->tsa,
                     "Sign with OSTREL.Signer.1, taking the time stamp of CAdES-T from this "
                     "authority (http or https URL; default: OSTREL_TSA, else timestamp-url in "
                     "ostrel.conf)")
        ->type_name("URL");
    sign->add_flag("--attached", options->attached,
                   "Sign with OSTREL.Signer.1 and carry the text inside the signed message");
    sign->callback([options, &exitCode] {
        std::string signature;
        if (options->UsesSigner()) {
            signature = SignWithSigner(*options, ReadSignableText(options->in));
        } else {
            std::vector<platform::com::Variant> args;
            args.push_back(
                platform::com::Variant::TakeBstr(ReadSignableText(options->in).Release()));
            if (options->index) args.push_back(platform::com::Variant::I4(*options->index));
            signature =
                TextResult(CallControl(options->index ? "SignMessageNoPrompt" : "SignMessage",
                                       std::move(args)))
                    .value_or("");
        }
        if (!signature.empty()) WriteOutput(options->out, signature);
        exitCode = signature.empty() ? kExitFalse : kExitOk;
    });
}

}  // namespace ostrel::cli
