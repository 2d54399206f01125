#include "hosts/ostrel/Cli.h"

namespace ostrel::cli {
void AddSignCommands(CLI::App&, int&) {}
}  // namespace ostrel::cli
