#include "platform/crypt/TokenRegistry.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>

#include "platform/text/NoCase.h"
#include "platform/win/Files.h"
#include "platform/win/ModuleFile.h"

namespace platform::crypt {
namespace {

namespace fs = std::filesystem;
using Options = std::map<std::string, std::string>;

// No configuration has reason to be larger.
constexpr std::size_t kMaxConfig = 64 * 1024;

std::string_view Trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

// "name: value" lines, '#' comments, as p11-kit reads them; nothing when
// the file cannot be trusted or read, with the reason among `warnings`.
std::optional<Options> ReadOptions(const fs::path& file, std::vector<std::string>& warnings) {
    const std::string what = "the p11-kit configuration";
    if (auto problem = platform::win::TrustedFileProblem(file.string(), what)) {
        warnings.push_back(*problem + "; it was ignored");
        return std::nullopt;
    }
    std::string text;
    try {
        text = platform::win::ReadRegularFile(file, kMaxConfig, file.string());
    } catch (const std::exception& e) {
        warnings.push_back("cannot read " + what + " " + file.string() + ": " + e.what());
        return std::nullopt;
    }
    Options options;
    std::size_t start = 0;
    for (std::size_t number = 1; start < text.size(); ++number) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line = Trim(std::string_view(text).substr(start, end - start));
        start = end + 1;
        if (line.empty() || line.front() == '#') continue;
        const auto colon = line.find(':');
        if (colon == std::string_view::npos || line.front() == '[' || line.starts_with("-----")) {
            warnings.push_back(what + " " + file.string() + " has a line " +
                               std::to_string(number) +
                               " that is no \"name: value\"; it was ignored");
            return std::nullopt;
        }
        options[std::string(Trim(line.substr(0, colon)))] =
            std::string(Trim(line.substr(colon + 1)));
    }
    return options;
}

// A user's path as p11-kit expands "~": $XDG_CONFIG_HOME for ~/.config.
fs::path UserPath(const std::string& underHome) {
    if (underHome.starts_with(".config/"))
        if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg != '\0')
            return fs::path(xdg) / underHome.substr(8);
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
        return fs::path(home) / underHome;
    if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr)
        return fs::path(pw->pw_dir) / underHome;
    return {};
}

// The module's name: the file's name without ".module" when it is a name
// p11-kit takes, else the whole file name, as p11-kit does.
std::string NameOf(const std::string& file) {
    constexpr std::string_view suffix = ".module";
    const bool wellFormed = !file.empty() &&
                            std::isalnum(static_cast<unsigned char>(file.front())) &&
                            std::all_of(file.begin(), file.end(),
                                        [](char c) {
                                            return std::isalnum(static_cast<unsigned char>(c)) ||
                                                   c == '_' || c == '-' || c == '.';
                                        }) &&
                            file.size() > suffix.size() && file.ends_with(suffix);
    return wellFormed ? file.substr(0, file.size() - suffix.size()) : file;
}

// The configurations in one folder, merged into `configs`: a module named
// already keeps its options and takes only those it lacks.
void ReadFolder(const fs::path& folder, std::map<std::string, Options>& configs,
                std::vector<std::string>& warnings) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return;  // none, or not ours to read, as p11-kit takes it
    std::vector<std::string> files;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        std::error_code ec;
        if (fs::is_directory(folder / name, ec)) continue;
        files.push_back(name);
    }
    ::closedir(dir);
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        auto options = ReadOptions(folder / file, warnings);
        if (!options) continue;
        auto& into = configs[NameOf(file)];
        into.merge(*options);
    }
}

bool InList(const std::string& list, const std::string& name) {
    std::size_t start = 0;
    while (start < list.size()) {
        const auto end = std::min(list.find_first_of(", \t\r\n", start), list.size());
        if (list.compare(start, end - start, name) == 0 && end > start) return true;
        start = end + 1;
    }
    return false;
}

bool Enabled(const Options& options, const std::string& program) {
    const auto enableIn = options.find("enable-in");
    const auto disableIn = options.find("disable-in");
    if (enableIn != options.end()) return InList(enableIn->second, program);
    if (disableIn != options.end()) return !InList(disableIn->second, program);
    return true;
}

int Priority(const Options& options) {
    const auto it = options.find("priority");
    if (it == options.end()) return 0;
    int value = 0;
    const std::string& text = it->second;
    const char* begin = text.data() + (text.starts_with('+') ? 1 : 0);
    std::from_chars(begin, text.data() + text.size(), value);
    return value;
}

// The program's name as p11-kit takes it: the running file's when the
// program was started by a full path that leads to it, else the name it
// was started by.
std::string ProgramName() {
    const std::string invoked = program_invocation_name != nullptr ? program_invocation_name : "";
    if (invoked.starts_with('/')) {
        std::error_code ec;
        const fs::path exe = fs::canonical("/proc/self/exe", ec);
        if (!ec && invoked.starts_with(exe.string())) return exe.filename().string();
    }
    return program_invocation_short_name != nullptr ? program_invocation_short_name : "";
}

}  // namespace

RegistryPlaces P11KitPlaces() {
    RegistryPlaces places;
    places.systemConfig = fs::path(OSTREL_P11_SYSCONFDIR) / "pkcs11" / "pkcs11.conf";
    places.systemModules = fs::path(OSTREL_P11_SYSCONFDIR) / "pkcs11" / "modules";
    places.packageModules = OSTREL_P11_PACKAGE_MODULES;
    places.moduleFolder = OSTREL_P11_MODULE_PATH;
    places.userAllowed = ::getauxval(AT_SECURE) == 0 && ::getuid() != 0 &&
                         std::getenv("P11_KIT_NO_USER_CONFIG") == nullptr;
    if (places.userAllowed) {
        places.userConfig = UserPath(".config/pkcs11/pkcs11.conf");
        places.userModules = UserPath(".config/pkcs11/modules");
    }
    places.program = ProgramName();
    return places;
}

Registry ReadRegistry(const RegistryPlaces& places) {
    Registry registry;
    auto& warnings = registry.warnings;

    // Whether the user's configuration counts, and whether alone.
    enum class User { None, Merge, Only } user = places.userAllowed ? User::Merge : User::None;
    const auto mode = [&](const Options& options, User otherwise) {
        const auto it = options.find("user-config");
        if (it == options.end()) return otherwise;
        if (it->second == "none") return User::None;
        if (it->second == "merge") return User::Merge;
        if (it->second == "only" || it->second == "override") return User::Only;
        warnings.push_back("the p11-kit setting user-config: " + it->second +
                           " is not one p11-kit knows; the user's configuration was ignored");
        return User::None;
    };
    std::error_code ec;
    if (fs::exists(places.systemConfig, ec))
        if (const auto system = ReadOptions(places.systemConfig, warnings))
            user = places.userAllowed ? mode(*system, User::Merge) : User::None;
    if (user != User::None && !places.userConfig.empty() && fs::exists(places.userConfig, ec))
        if (const auto mine = ReadOptions(places.userConfig, warnings)) user = mode(*mine, user);

    std::map<std::string, Options> configs;
    if (user != User::None && !places.userModules.empty())
        ReadFolder(places.userModules, configs, warnings);
    if (user != User::Only) {
        ReadFolder(places.systemModules, configs, warnings);
        ReadFolder(places.packageModules, configs, warnings);
    }

    for (const auto& [name, options] : configs) {
        if (!Enabled(options, places.program)) continue;
        const auto trust = options.find("trust-policy");
        if (trust != options.end() && (platform::text::EqualsNoCase(trust->second, "yes") ||
                                       platform::text::EqualsNoCase(trust->second, "true")))
            continue;
        if (options.contains("remote")) {
            warnings.push_back("the PKCS#11 module " + name +
                               " is reached through p11-kit's remote: option, which runs or "
                               "reaches code no file check can vouch for; it was not loaded");
            continue;
        }
        const auto module = options.find("module");
        if (module == options.end() || module->second.empty()) continue;
        const fs::path file = module->second.front() == '/' ? fs::path(module->second)
                                                            : places.moduleFolder / module->second;
        registry.modules.push_back({name, file.string(), Priority(options)});
    }
    std::stable_sort(registry.modules.begin(), registry.modules.end(),
                     [](const RegisteredModule& a, const RegisteredModule& b) {
                         return a.priority != b.priority ? a.priority > b.priority
                                                         : a.name < b.name;
                     });
    return registry;
}

}  // namespace platform::crypt
