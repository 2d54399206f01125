#include "hosts/ostrel/Cli.h"

int main(int argc, char** argv) {
    return ostrel::cli::Run(argc, argv);
}
