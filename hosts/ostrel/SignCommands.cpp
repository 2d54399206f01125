#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "hosts/ostrel/Cli.h"
#include "hosts/shared/ControlHost.h"
#include "platform/text/Bstr.h"

namespace ostrel::cli {

namespace {

struct SignOptions {
    std::optional<std::int32_t> index;
    std::string in;
    std::string out;
};

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
        "the detached signed message. Without --index the user chooses the certificate.");
    sign->add_option("--index", options->index,
                     "Position of the certificate in the personal store (0 is the first); a "
                     "negative position lets the user choose");
    sign->add_option("--in", options->in, "File to sign (default: standard input)");
    sign->add_option("--out", options->out,
                     "File to write the signature to (default: standard output)");
    sign->callback([options, &exitCode] {
        std::vector<platform::com::Variant> args;
        args.push_back(platform::com::Variant::TakeBstr(ReadSignableText(options->in).Release()));
        if (options->index) args.push_back(platform::com::Variant::I4(*options->index));
        const std::string signature =
            TextResult(CallControl(options->index ? "SignMessageNoPrompt" : "SignMessage",
                                   std::move(args)))
                .value_or("");
        if (!signature.empty()) WriteOutput(options->out, signature);
        exitCode = signature.empty() ? kExitFalse : kExitOk;
    });
}

}  // namespace ostrel::cli
