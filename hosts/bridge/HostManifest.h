#pragma once
// The native-messaging host manifests that tell a browser where
// `ostrel-bridge` is and which extensions may start it: their places for each
// browser, per user and system-wide, their contents, and how to check one.
// The `ostrel bridge` commands write and check them; packaging writes the
// system-wide ones with the same contents.

#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::bridge {

enum class Browser { Chromium, Chrome, Firefox };
inline constexpr Browser kBrowsers[] = {Browser::Chromium, Browser::Chrome, Browser::Firefox};

// How the command line names the browser: "chromium", "chrome", "firefox".
const char* BrowserKey(Browser browser);
// How messages name it: "Chromium", "Google Chrome", "Firefox".
const char* BrowserTitle(Browser browser);
std::optional<Browser> ParseBrowser(std::string_view key);
// Chromium and Chrome take the same manifest and name callers by origin.
bool IsChromiumFamily(Browser browser);

// "org.ostrel.bridge.json": the name every browser looks the host up by.
std::string ManifestFileName();

// Where the manifests and the browsers' own folders are.
struct Places {
    std::filesystem::path home;        // the user's home folder
    std::filesystem::path configHome;  // $XDG_CONFIG_HOME, else home/.config
    // Prefixed to every system-wide path: "/" normally. The environment's
    // OSTREL_BRIDGE_SYSTEM_ROOT sets it, for tests and for packaging into a
    // staging folder.
    std::filesystem::path systemRoot = "/";
    // A Chromium or Chrome started with --user-data-dir=DIR reads its
    // per-user manifests from DIR/NativeMessagingHosts instead.
    std::optional<std::filesystem::path> chromiumUserDataDir;

    // From HOME (else the password database), XDG_CONFIG_HOME (when
    // absolute) and OSTREL_BRIDGE_SYSTEM_ROOT. Throws std::runtime_error
    // when no home folder can be found.
    static Places FromEnvironment();
    // A system-wide path such as "/etc/chromium" under systemRoot.
    std::filesystem::path System(const std::filesystem::path& absolute) const;
};

std::filesystem::path UserManifestFolder(Browser browser, const Places& places);
std::filesystem::path SystemManifestFolder(Browser browser, const Places& places);
inline std::filesystem::path ManifestPath(Browser browser, const Places& places, bool system) {
    return (system ? SystemManifestFolder(browser, places) : UserManifestFolder(browser, places)) /
           ManifestFileName();
}

// The manifest naming `host` (an absolute path) and allowing the ostrel
// extension and the `extra` IDs of the browser's kind.
nlohmann::json MakeManifest(Browser browser, const std::filesystem::path& host,
                            const std::vector<std::string>& extra = {});

// Whether a manifest file's contents are ours: a JSON object naming our host.
bool IsOurManifest(std::string_view text);

// The arguments the browser starts the host with, for the manifest at
// `manifestPath`: Chromium the extension's origin, Firefox the manifest's
// path and the add-on's ID.
std::vector<std::string> BrowserArguments(Browser browser,
                                          const std::filesystem::path& manifestPath);

// What a manifest file holds as the browser would read it.
struct ManifestCheck {
    enum class State { Absent, Broken, Good } state = State::Absent;
    std::vector<std::string> problems;  // for Broken
    std::filesystem::path host;         // the `path` it names, when it names one
};
ManifestCheck CheckManifestFile(Browser browser, const std::filesystem::path& file);

// Why the browser seems to be used here (its program on PATH outside a snap,
// or its folder of settings), or nothing. `system` asks about the whole
// machine, where the user's own folders do not count.
std::optional<std::string> FindBrowser(Browser browser, const Places& places, bool system);

// Copies of the browser confined as a snap or a flatpak, which cannot start
// native hosts on their own: one line each saying where it was seen.
std::vector<std::string> FindConfinedBrowser(Browser browser, const Places& places);
// What a user of such a copy needs to know and do.
std::string ConfinedAdvice(Browser browser);

}  // namespace ostrel::bridge
