#pragma once
// What a host throws when an operation could not be carried out: the `ostrel`
// command prints it, the bridge answers with it.

#include <stdexcept>

namespace ostrel::cli {

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace ostrel::cli
