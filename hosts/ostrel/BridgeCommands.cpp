#include "hosts/ostrel/Cli.h"

namespace ostrel::cli {

void AddBridgeCommands(CLI::App& app, int& exitCode) {
    CLI::App* bridge = app.add_subcommand(
        "bridge",
        "Let web pages reach the control through the browser extension: install the native "
        "host for your browsers, check it, and manage which sites may use your certificates.");
    bridge->require_subcommand(1);
    AddBridgeInstallCommands(*bridge, exitCode);
    AddBridgeOriginsCommands(*bridge, exitCode);
}

}  // namespace ostrel::cli
