#pragma once
// Which extension started this host. A browser names it on the command line:
// Chromium passes the extension's origin (`chrome-extension://<id>/`),
// Firefox the path of the host manifest and then the add-on's ID. Only the
// extensions the user installed the bridge for, listed in
// `bridge-extensions.json` in the ostrel home, are served:
//
//   {"chromium": ["<32 letters a-p>", ...], "firefox": ["<add-on ID>", ...]}

#include <filesystem>
#include <string>
#include <vector>

namespace ostrel::bridge {

inline constexpr const char* kExtensionsFile = "bridge-extensions.json";

struct CallerCheck {
    bool allowed = false;
    std::string caller;   // how the caller is named in messages
    std::string message;  // why it is refused
};

// Whether the caller named by `args` (the command line without the program)
// is one of the extensions allowed in `home`.
CallerCheck CheckCaller(const std::vector<std::string>& args, const std::filesystem::path& home);

// A Chromium extension ID: 32 letters from a to p.
bool IsChromiumExtensionId(const std::string& id);

}  // namespace ostrel::bridge
