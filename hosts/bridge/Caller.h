#pragma once
// Which extension started this host. A browser names it on the command line:
// Chromium passes the extension's origin (`chrome-extension://<id>/`),
// Firefox the path of the host manifest and then the add-on's ID. The ostrel
// extension, whose IDs Extension.h pins, is always served; further
// extensions (a developer's own copy, say) only when the user added them with
// `ostrel bridge install --extension-id`, which lists them in
// `bridge-extensions.json` in the ostrel home:
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
    std::string message;  // why it is refused, as the caller is told: no path in it
    std::string detail;   // why it is refused, whole, for the host's log
};

// Whether the caller named by `args` (the command line without the program)
// is the ostrel extension or one of those added in `home`.
CallerCheck CheckCaller(const std::vector<std::string>& args, const std::filesystem::path& home);

// A Chromium extension ID: 32 letters from a to p.
bool IsChromiumExtensionId(const std::string& id);
// A Firefox add-on ID: `name@domain` (letters, digits, `.`, `_`, `-`, `+`)
// or a GUID in braces.
bool IsFirefoxExtensionId(const std::string& id);

// The extensions added besides the pinned ones.
struct ExtraExtensions {
    std::vector<std::string> chromium;
    std::vector<std::string> firefox;
    bool operator==(const ExtraExtensions&) const = default;
};

// The list in `home`: empty when there is none. Throws std::runtime_error
// saying why when it cannot be read, could have been written by other users,
// or is damaged.
ExtraExtensions ReadExtraExtensions(const std::filesystem::path& home);

// Replaces the list in `home` (mode 0600, atomically), making the home when
// needed; an empty list removes the file.
void WriteExtraExtensions(const std::filesystem::path& home, const ExtraExtensions& extra);

}  // namespace ostrel::bridge
