#include "platform/crypt/Config.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "platform/crypt/Store.h"

namespace platform::crypt {
namespace {

constexpr char kConfigFile[] = "ostrel.conf";

std::string Trim(std::string_view s) {
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string_view::npos) return {};
    return std::string(s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1));
}

}  // namespace

ConfigLookup LookUpConfig(std::string_view key) {
    ConfigLookup lookup;
    std::filesystem::path home;
    try {
        home = OstrelHome();
    } catch (const std::exception&) {
        return lookup;
    }
    const auto path = home / kConfigFile;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return lookup;
    lookup.file = path;
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 022) != 0) {
        lookup.warning = "the settings file " + path.string() +
                         " is not a file of the user's own that only the user may change; it "
                         "was ignored";
        return lookup;
    }
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const std::string text = Trim(line);
        if (text.empty() || text.front() == '#') continue;
        const auto eq = text.find('=');
        if (eq == std::string::npos) continue;
        if (Trim(std::string_view(text).substr(0, eq)) == key)
            lookup.value = Trim(std::string_view(text).substr(eq + 1));
    }
    return lookup;
}

std::optional<std::string> ConfigValue(std::string_view key) {
    return LookUpConfig(key).value;
}

}  // namespace platform::crypt
