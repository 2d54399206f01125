#include <cstdint>
#include <optional>
#include <vector>

#include "hosts/ostrel/Cli.h"
#include "hosts/ostrel/ControlHost.h"
#include "platform/com/Utf.h"

namespace ostrel::cli {

namespace {

struct SignOptions {
    std::optional<std::int32_t> index;
    std::string in;
    std::string out;
};

// The control signs text: bytes it could not carry whole are refused here
// rather than signed shortened or altered.
void CheckSignable(const std::string& text, const std::string& source) {
    if (const auto nul = text.find('\0'); nul != std::string::npos)
        throw UsageError(source + " holds a NUL byte at offset " + std::to_string(nul) +
                         "; only text can be signed");
    if (!platform::com::IsValidUtf8(text))
        throw UsageError(source + " is not valid UTF-8 text; only text can be signed");
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
        const std::string text = ReadInput(options->in);
        CheckSignable(text, options->in.empty() || options->in == "-" ? std::string("the input")
                                                                      : options->in);
        std::vector<platform::com::Variant> args;
        args.push_back(platform::com::Variant::Str(text));
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
