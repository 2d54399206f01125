#include "hosts/ostrel/Cli.h"

namespace ostrel::cli {
void AddStoreCommands(CLI::App&, int&) {}
}  // namespace ostrel::cli
