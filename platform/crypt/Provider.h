#pragma once
// Provider contexts, as the rest of the crypt layer sees them.

#include <filesystem>

#include "platform/crypt/WinCrypt.h"

namespace platform::crypt {
// The key container (the ostrel home) behind a live provider handle; false,
// with the last error set, for a handle that is not live.
bool ContainerOf(HCRYPTPROV provider, std::filesystem::path& container);
}  // namespace platform::crypt
