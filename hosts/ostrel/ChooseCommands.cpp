#include <string>

#include "hosts/ostrel/Cli.h"
#include "hosts/shared/ControlHost.h"

namespace ostrel::cli {

void AddChooseCommands(CLI::App& app, int& exitCode) {
    CLI::App* choose = app.add_subcommand(
        "choose",
        "Let the user choose a certificate of the personal store and print its position (0 is "
        "the first), or -1 when none was chosen. Sign with it later by `ostrel sign --index`.");
    choose->callback([&exitCode] {
        const LONG index = LongResult(CallControl("ChooseCertificate", {}));
        WriteOutput("-", std::to_string(index) + "\n");
        exitCode = index >= 0 ? kExitOk : kExitFalse;
    });
}

}  // namespace ostrel::cli
