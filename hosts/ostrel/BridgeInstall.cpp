#include "hosts/ostrel/Cli.h"

namespace ostrel::cli {

// install, uninstall and status.
void AddBridgeInstallCommands(CLI::App&, int&) {}

}  // namespace ostrel::cli
