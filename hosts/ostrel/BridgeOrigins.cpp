#include "hosts/ostrel/Cli.h"

namespace ostrel::cli {

// origins list | allow | revoke.
void AddBridgeOriginsCommands(CLI::App&, int&) {}

}  // namespace ostrel::cli
