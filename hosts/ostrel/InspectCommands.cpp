#include "hosts/ostrel/Cli.h"

namespace ostrel::cli {
void AddInspectCommands(CLI::App&, int&) {}
}  // namespace ostrel::cli
