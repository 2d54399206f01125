#include <memory>
#include <vector>

#include "hosts/ostrel/Cli.h"
#include "hosts/shared/ControlHost.h"
#include "platform/text/Utf.h"

namespace ostrel::cli {

namespace {

struct InspectOptions {
    std::string in;
    bool exact = false;
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

}  // namespace

void AddInspectCommands(CLI::App& app, int& exitCode) {
    auto verifyOptions = std::make_shared<InspectOptions>();
    AddInspectCommand(app, "verify",
                      "Verify the first signature of a signed message that carries its content, "
                      "given as hexadecimal text; prints true or false",
                      verifyOptions)
        ->callback([verifyOptions, &exitCode] {
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
