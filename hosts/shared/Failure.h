#pragma once
// What a host throws when an operation could not be carried out: the `ostrel`
// command prints it, the bridge answers with it.

#include <optional>
#include <stdexcept>
#include <string>

#include "platform/win/WinTypes.h"

namespace ostrel::cli {

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
    Failure(const std::string& what, HRESULT code) : std::runtime_error(what), hresult(code) {}
    // The result code that caused it, where there is one.
    std::optional<HRESULT> hresult;
};

}  // namespace ostrel::cli
