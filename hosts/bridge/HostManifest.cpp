#include "hosts/bridge/HostManifest.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <system_error>

#include "hosts/bridge/Extension.h"
#include "platform/win/Files.h"

namespace ostrel::bridge {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxManifest = std::size_t(1) << 20;

bool Exists(const fs::path& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

const char* const* ProgramNames(Browser browser) {
    static const char* const chromium[] = {"chromium", "chromium-browser", nullptr};
    static const char* const chrome[] = {"google-chrome", "google-chrome-stable", nullptr};
    static const char* const firefox[] = {"firefox", "firefox-esr", nullptr};
    switch (browser) {
        case Browser::Chromium:
            return chromium;
        case Browser::Chrome:
            return chrome;
        case Browser::Firefox:
            break;
    }
    return firefox;
}

// The browser's own folders of settings in the user's home.
std::vector<fs::path> SettingsFolders(Browser browser, const Places& places) {
    switch (browser) {
        case Browser::Chromium:
            return {places.configHome / "chromium"};
        case Browser::Chrome:
            return {places.configHome / "google-chrome"};
        case Browser::Firefox:
            break;
    }
    // Firefox keeps profiles in ~/.mozilla, or in $XDG_CONFIG_HOME/mozilla
    // when ~/.mozilla/firefox is absent; it reads the user's host manifests
    // from ~/.mozilla in both cases.
    return {places.home / ".mozilla", places.configHome / "mozilla"};
}

// An executable of that name on PATH that is not a snap's launcher.
std::optional<fs::path> OnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    if (path == nullptr) return std::nullopt;
    std::string_view rest(path);
    for (;;) {
        const auto colon = rest.find(':');
        const std::string_view folder = rest.substr(0, colon);
        if (!folder.empty() && folder.front() == '/') {
            const fs::path candidate = fs::path(folder) / name;
            std::error_code ec;
            const fs::path real = fs::canonical(candidate, ec);
            if (!ec && ::access(candidate.c_str(), X_OK) == 0 && fs::is_regular_file(real, ec) &&
                !real.string().starts_with("/snap/"))
                return candidate;
        }
        if (colon == std::string_view::npos) break;
        rest.remove_prefix(colon + 1);
    }
    return std::nullopt;
}

}  // namespace

const char* BrowserKey(Browser browser) {
    switch (browser) {
        case Browser::Chromium:
            return "chromium";
        case Browser::Chrome:
            return "chrome";
        case Browser::Firefox:
            break;
    }
    return "firefox";
}

const char* BrowserTitle(Browser browser) {
    switch (browser) {
        case Browser::Chromium:
            return "Chromium";
        case Browser::Chrome:
            return "Google Chrome";
        case Browser::Firefox:
            break;
    }
    return "Firefox";
}

std::optional<Browser> ParseBrowser(std::string_view key) {
    for (Browser browser : kBrowsers)
        if (key == BrowserKey(browser)) return browser;
    return std::nullopt;
}

bool IsChromiumFamily(Browser browser) {
    return browser != Browser::Firefox;
}

std::string ManifestFileName() {
    return std::string(kHostName) + ".json";
}

Places Places::FromEnvironment() {
    Places places;
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        places.home = home;
    } else {
        struct passwd pw {};
        struct passwd* found = nullptr;
        char buf[4096];
        if (::getpwuid_r(::geteuid(), &pw, buf, sizeof buf, &found) != 0 || found == nullptr ||
            found->pw_dir == nullptr || found->pw_dir[0] != '/')
            throw std::runtime_error("no home folder: set HOME");
        places.home = found->pw_dir;
    }
    const char* config = std::getenv("XDG_CONFIG_HOME");
    places.configHome =
        config != nullptr && config[0] == '/' ? fs::path(config) : places.home / ".config";
    if (const char* root = std::getenv("OSTREL_BRIDGE_SYSTEM_ROOT"); root != nullptr && *root) {
        if (root[0] != '/')
            throw std::runtime_error("OSTREL_BRIDGE_SYSTEM_ROOT must be an absolute path, not \"" +
                                     std::string(root) + "\"");
        places.systemRoot = root;
    }
    return places;
}

fs::path Places::System(const fs::path& absolute) const {
    return systemRoot / absolute.relative_path();
}

fs::path UserManifestFolder(Browser browser, const Places& places) {
    switch (browser) {
        case Browser::Chromium:
        case Browser::Chrome:
            if (places.chromiumUserDataDir)
                return *places.chromiumUserDataDir / "NativeMessagingHosts";
            return places.configHome /
                   (browser == Browser::Chromium ? "chromium" : "google-chrome") /
                   "NativeMessagingHosts";
        case Browser::Firefox:
            break;
    }
    return places.home / ".mozilla" / "native-messaging-hosts";
}

fs::path SystemManifestFolder(Browser browser, const Places& places) {
    switch (browser) {
        case Browser::Chromium:
            return places.System("/etc/chromium/native-messaging-hosts");
        case Browser::Chrome:
            return places.System("/etc/opt/chrome/native-messaging-hosts");
        case Browser::Firefox:
            break;
    }
    return places.System("/usr/lib/mozilla/native-messaging-hosts");
}

nlohmann::json MakeManifest(Browser browser, const fs::path& host,
                            const std::vector<std::string>& extra) {
    nlohmann::json manifest = {
        {"name", kHostName},
        {"description",
         "ostrel: signs texts with the certificates of your personal store for "
         "the pages you allow"},
        {"path", host.string()},
        {"type", "stdio"},
    };
    if (IsChromiumFamily(browser)) {
        nlohmann::json origins = {"chrome-extension://" + std::string(kChromiumExtensionId) + "/"};
        for (const auto& id : extra) {
            const std::string origin = "chrome-extension://" + id + "/";
            if (std::find(origins.begin(), origins.end(), origin) == origins.end())
                origins.push_back(origin);
        }
        manifest["allowed_origins"] = origins;
    } else {
        nlohmann::json ids = {kFirefoxExtensionId};
        for (const auto& id : extra)
            if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
        manifest["allowed_extensions"] = ids;
    }
    return manifest;
}

bool IsOurManifest(std::string_view text) {
    const nlohmann::json manifest = nlohmann::json::parse(text, nullptr, false);
    if (!manifest.is_object()) return false;
    const auto name = manifest.find("name");
    return name != manifest.end() && name->is_string() && *name == kHostName;
}

std::vector<std::string> BrowserArguments(Browser browser, const fs::path& manifestPath) {
    if (IsChromiumFamily(browser))
        return {"chrome-extension://" + std::string(kChromiumExtensionId) + "/"};
    return {manifestPath.string(), kFirefoxExtensionId};
}

ManifestCheck CheckManifestFile(Browser browser, const fs::path& file) {
    ManifestCheck check;
    std::error_code ec;
    const auto status = fs::symlink_status(file, ec);
    if (status.type() == fs::file_type::not_found) return check;
    check.state = ManifestCheck::State::Broken;
    std::string text;
    try {
        text = platform::win::ReadRegularFile(file, kMaxManifest, file.string());
    } catch (const std::exception& e) {
        check.problems.push_back(std::string("cannot be read: ") + e.what());
        return check;
    }
    const nlohmann::json manifest = nlohmann::json::parse(text, nullptr, false);
    if (!manifest.is_object()) {
        check.problems.push_back("is not a JSON object");
        return check;
    }
    const auto text_of = [&](const char* key) -> std::optional<std::string> {
        const auto it = manifest.find(key);
        if (it == manifest.end() || !it->is_string()) return std::nullopt;
        return it->get<std::string>();
    };
    if (text_of("name") != std::string(kHostName))
        check.problems.push_back(std::string("does not name the host \"") + kHostName + "\"");
    if (text_of("type") != std::string("stdio"))
        check.problems.push_back("does not have \"type\": \"stdio\"");
    const auto path = text_of("path");
    if (!path || path->empty()) {
        check.problems.push_back("names no program in \"path\"");
    } else {
        check.host = *path;
        struct stat st {};
        if (check.host.is_relative())
            check.problems.push_back("names the program by a relative path, " + *path +
                                     ", which the browser does not take");
        else if (::stat(path->c_str(), &st) != 0)
            check.problems.push_back("names " + *path + ", which does not exist");
        else if (!S_ISREG(st.st_mode) || ::access(path->c_str(), X_OK) != 0)
            check.problems.push_back("names " + *path + ", which is not an executable file");
    }
    const char* listKey = IsChromiumFamily(browser) ? "allowed_origins" : "allowed_extensions";
    const std::string wanted = IsChromiumFamily(browser)
                                   ? "chrome-extension://" + std::string(kChromiumExtensionId) + "/"
                                   : std::string(kFirefoxExtensionId);
    const auto list = manifest.find(listKey);
    if (list == manifest.end() || !list->is_array() ||
        std::find(list->begin(), list->end(), wanted) == list->end())
        check.problems.push_back(std::string("does not allow the ostrel extension (") + wanted +
                                 " in \"" + listKey + "\")");
    if (check.problems.empty()) check.state = ManifestCheck::State::Good;
    return check;
}

std::optional<std::string> FindBrowser(Browser browser, const Places& places, bool system) {
    for (const char* const* name = ProgramNames(browser); *name != nullptr; ++name)
        if (const auto found = OnPath(*name)) return "found " + found->string();
    if (system) {
        const fs::path parent = SystemManifestFolder(browser, places).parent_path();
        if (Exists(parent)) return parent.string() + " exists";
        return std::nullopt;
    }
    if (IsChromiumFamily(browser) && places.chromiumUserDataDir)
        return "its profile folder is given";
    for (const auto& folder : SettingsFolders(browser, places))
        if (Exists(folder)) return folder.string() + " exists";
    return std::nullopt;
}

std::vector<std::string> FindConfinedBrowser(Browser browser, const Places& places) {
    std::vector<std::string> seen;
    const char* snap = browser == Browser::Chromium  ? "chromium"
                       : browser == Browser::Firefox ? "firefox"
                                                     : nullptr;
    if (snap != nullptr) {
        for (const fs::path& where :
             {places.System("/snap/bin") / snap, places.home / "snap" / snap})
            if (Exists(where)) seen.push_back("a snap (" + where.string() + ")");
    }
    const char* flatpak = browser == Browser::Chromium ? "org.chromium.Chromium"
                          : browser == Browser::Chrome ? "com.google.Chrome"
                                                       : "org.mozilla.firefox";
    for (const fs::path& where :
         {places.home / ".var" / "app" / flatpak, places.System("/var/lib/flatpak/app") / flatpak})
        if (Exists(where)) seen.push_back("a flatpak (" + where.string() + ")");
    return seen;
}

std::string ConfinedAdvice(Browser browser) {
    const std::string title = BrowserTitle(browser);
    std::string package = browser == Browser::Chromium  ? "`sudo apt install chromium`"
                          : browser == Browser::Firefox ? "`sudo apt install firefox-esr`"
                                                        : "Google's .deb package";
    return "a browser confined as a snap or a flatpak cannot start native hosts such as "
           "ostrel-bridge without a native-messaging portal, so the ostrel extension will not "
           "reach it there. Use the Debian package of " +
           title + " instead (" + package + ") and install the extension in that one.";
}

}  // namespace ostrel::bridge
