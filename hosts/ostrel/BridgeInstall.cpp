// `ostrel bridge install | uninstall | status`: the host manifests that let
// browsers start ostrel-bridge for the ostrel extension.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "hosts/bridge/Caller.h"
#include "hosts/bridge/HostManifest.h"
#include "hosts/bridge/HostProbe.h"
#include "hosts/ostrel/Cli.h"
#include "platform/crypt/Store.h"
#include "platform/win/Files.h"

namespace ostrel::cli {

namespace {

namespace fs = std::filesystem;
using bridge::Browser;
using bridge::BrowserKey;
using bridge::BrowserTitle;

constexpr auto kProbeTimeout = std::chrono::seconds(5);
constexpr const char* kTempPrefix = ".ostrel-tmp-";

struct Options {
    std::string browser = "all";
    bool system = false;
    std::vector<std::string> extensionIds;
    std::string chromiumUserDataDir;
};

void AddCommonOptions(CLI::App& command, Options& options, bool withIds) {
    command
        .add_option("--browser", options.browser,
                    "chromium, chrome, firefox, or all (default: all)")
        ->check(CLI::IsMember({"chromium", "chrome", "firefox", "all"}));
    command.add_flag("--system", options.system,
                     "The system-wide manifests, for every user of the machine (needs root)");
    if (withIds)
        command.add_option("--extension-id", options.extensionIds,
                           "A further Chromium extension ID (32 letters a-p) or Firefox add-on "
                           "ID to allow, such as a developer's own copy of the extension; "
                           "repeatable");
    command.add_option("--chromium-user-data-dir", options.chromiumUserDataDir,
                       "For a Chromium or Chrome started with --user-data-dir=DIR: its per-user "
                       "manifests are in DIR/NativeMessagingHosts");
}

std::vector<Browser> Chosen(const Options& options) {
    if (options.browser == "all")
        return {std::begin(bridge::kBrowsers), std::end(bridge::kBrowsers)};
    return {*bridge::ParseBrowser(options.browser)};
}

bridge::Places PlacesFor(const Options& options) {
    bridge::Places places;
    try {
        places = bridge::Places::FromEnvironment();
    } catch (const std::exception& e) {
        throw UsageError(e.what());
    }
    if (!options.chromiumUserDataDir.empty()) {
        if (options.system)
            throw UsageError(
                "--chromium-user-data-dir names one user's profile; it does not go "
                "with --system");
        if (options.browser == "firefox")
            throw UsageError("--chromium-user-data-dir is for Chromium and Chrome, not Firefox");
        places.chromiumUserDataDir = fs::absolute(options.chromiumUserDataDir);
    }
    return places;
}

// How to say the command that fixes a manifest at that place.
std::string InstallCommand(Browser browser, const Options& options, bool system) {
    std::string command = system ? "sudo ostrel bridge install --system" : "ostrel bridge install";
    command += " --browser " + std::string(BrowserKey(browser));
    if (!system && bridge::IsChromiumFamily(browser) && !options.chromiumUserDataDir.empty())
        command += " --chromium-user-data-dir " + options.chromiumUserDataDir;
    return "`" + command + "`";
}

// The extra IDs given, sorted by the browser they are for.
bridge::ExtraExtensions SortIds(const std::vector<std::string>& ids) {
    bridge::ExtraExtensions extra;
    for (const auto& id : ids) {
        const bool chromium = bridge::IsChromiumExtensionId(id);
        if (!chromium && !bridge::IsFirefoxExtensionId(id))
            throw UsageError("\"" + id +
                             "\" is neither a Chromium extension ID (32 letters a-p) nor a "
                             "Firefox add-on ID (name@domain or {GUID})");
        auto& list = chromium ? extra.chromium : extra.firefox;
        if (std::find(list.begin(), list.end(), id) == list.end()) list.push_back(id);
    }
    return extra;
}

// ostrel-bridge beside this program, as the browser is to run it.
fs::path FindHost() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) throw Failure("cannot find where the ostrel program is: " + ec.message());
    const fs::path host = self.parent_path() / "ostrel-bridge";
    const fs::path real = fs::canonical(host, ec);
    struct stat st {};
    if (ec || ::stat(real.c_str(), &st) != 0)
        throw Failure("cannot find the bridge host " + host.string() +
                      ": it is built and installed beside the ostrel program; reinstall ostrel");
    if (!S_ISREG(st.st_mode) || ::access(real.c_str(), X_OK) != 0)
        throw Failure("the bridge host " + real.string() +
                      " is not an executable file; reinstall ostrel");
    return real;
}

void MakeFolders(const fs::path& folder) {
    fs::path partial;
    for (const auto& part : folder) {
        partial /= part;
        if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
            throw Failure("cannot create the folder " + partial.string() + ": " +
                          std::strerror(errno));
    }
}

std::string SystemHint(const Options& options) {
    return options.system && ::geteuid() != 0 ? " (system-wide installs need root: use sudo)" : "";
}

void PrintConfined(Browser browser, const bridge::Places& places) {
    const auto seen = bridge::FindConfinedBrowser(browser, places);
    if (seen.empty()) return;
    std::cout << "Note: " << BrowserTitle(browser) << " is also installed as ";
    for (std::size_t i = 0; i < seen.size(); ++i) std::cout << (i ? " and " : "") << seen[i];
    std::cout << ": " << bridge::ConfinedAdvice(browser) << "\n";
}

int Install(const Options& options) {
    const bridge::ExtraExtensions given = SortIds(options.extensionIds);
    if (options.system && !options.extensionIds.empty())
        throw UsageError(
            "further extensions are allowed per user: run `ostrel bridge install --extension-id "
            "ID` as the user who loads them (without --system)");
    const bridge::Places places = PlacesFor(options);
    const fs::path host = FindHost();

    // Further extensions are recorded in the user's ostrel home, where the
    // host looks for them, and named in the user's manifests.
    bridge::ExtraExtensions extra;
    if (!options.system) {
        fs::path home;
        try {
            home = platform::crypt::OstrelHome();
            extra = bridge::ReadExtraExtensions(home);
        } catch (const std::exception& e) {
            if (!options.extensionIds.empty())
                throw Failure(std::string("cannot add the extensions: ") + e.what());
            std::cerr << "ostrel: warning: " << e.what()
                      << "; only the ostrel extension is allowed\n";
        }
        if (!options.extensionIds.empty()) {
            for (const auto& id : given.chromium)
                if (std::find(extra.chromium.begin(), extra.chromium.end(), id) ==
                    extra.chromium.end())
                    extra.chromium.push_back(id);
            for (const auto& id : given.firefox)
                if (std::find(extra.firefox.begin(), extra.firefox.end(), id) ==
                    extra.firefox.end())
                    extra.firefox.push_back(id);
            try {
                bridge::WriteExtraExtensions(home, extra);
            } catch (const std::exception& e) {
                throw Failure(std::string("cannot record the extensions: ") + e.what());
            }
            std::cout << "Allowed further extensions in "
                      << (home / bridge::kExtensionsFile).string() << "\n";
        }
    }

    int installed = 0;
    for (const Browser browser : Chosen(options)) {
        if (options.browser == "all") {
            const auto why = bridge::FindBrowser(browser, places, options.system);
            if (!why) {
                std::cout << "Skipped " << BrowserTitle(browser)
                          << ": neither its program nor its folders were found (run "
                          << InstallCommand(browser, options, options.system)
                          << " to install for it anyway)\n";
                PrintConfined(browser, places);
                continue;
            }
        }
        const fs::path file = bridge::ManifestPath(browser, places, options.system);
        const auto& ids = bridge::IsChromiumFamily(browser) ? extra.chromium : extra.firefox;
        const std::string text = bridge::MakeManifest(browser, host, ids).dump(2) + "\n";
        try {
            MakeFolders(file.parent_path());
            platform::win::WriteAtomically(file, text, 0644, kTempPrefix);
        } catch (const Failure& e) {
            throw Failure(e.what() + SystemHint(options));
        } catch (const std::exception& e) {
            throw Failure(std::string("cannot install for ") + BrowserTitle(browser) + ": " +
                          e.what() + SystemHint(options));
        }
        std::cout << "Installed for " << BrowserTitle(browser)
                  << (options.system ? " (system-wide): " : ": ") << file.string() << "\n";
        ++installed;
        PrintConfined(browser, places);
    }
    std::cout << "Host: " << host.string() << "\n";
    if (installed == 0) {
        std::cout << "No browser was found; name one with --browser.\n";
        return kExitFalse;
    }
    return kExitOk;
}

int Uninstall(const Options& options) {
    const bridge::ExtraExtensions given = SortIds(options.extensionIds);
    const bridge::Places places = PlacesFor(options);
    for (const Browser browser : Chosen(options)) {
        const fs::path file = bridge::ManifestPath(browser, places, options.system);
        std::error_code ec;
        if (fs::symlink_status(file, ec).type() == fs::file_type::not_found) {
            std::cout << BrowserTitle(browser) << ": not installed (" << file.string() << ")\n";
            continue;
        }
        std::string text;
        try {
            text = platform::win::ReadRegularFile(file, std::size_t(1) << 20, file.string());
        } catch (const std::exception&) {
            // Unreadable or not a file: not recognisably ours.
        }
        if (!bridge::IsOurManifest(text)) {
            std::cout << BrowserTitle(browser) << ": left " << file.string()
                      << ": it is not a manifest of the ostrel host\n";
            continue;
        }
        if (!fs::remove(file, ec) || ec)
            throw Failure("cannot remove " + file.string() + ": " + ec.message() +
                          SystemHint(options));
        std::cout << BrowserTitle(browser) << ": removed " << file.string() << "\n";
    }
    if (!options.extensionIds.empty()) {
        const fs::path home = platform::crypt::OstrelHome();
        bridge::ExtraExtensions extra;
        try {
            extra = bridge::ReadExtraExtensions(home);
        } catch (const std::exception& e) {
            throw Failure(std::string("cannot remove the extensions: ") + e.what());
        }
        const auto drop = [](std::vector<std::string>& list, const std::vector<std::string>& ids) {
            std::erase_if(list, [&](const std::string& id) {
                return std::find(ids.begin(), ids.end(), id) != ids.end();
            });
        };
        drop(extra.chromium, given.chromium);
        drop(extra.firefox, given.firefox);
        try {
            bridge::WriteExtraExtensions(home, extra);
        } catch (const std::exception& e) {
            throw Failure(std::string("cannot record the extensions: ") + e.what());
        }
        std::cout << "No longer allowed: ";
        for (std::size_t i = 0; i < options.extensionIds.size(); ++i)
            std::cout << (i ? ", " : "") << options.extensionIds[i];
        std::cout << "\n";
    }
    return kExitOk;
}

// One manifest's place, what it holds and whether its host answers.
struct Checked {
    bool present = false;
    bool good = false;
};

Checked CheckOne(Browser browser, const Options& options, const bridge::Places& places,
                 bool system) {
    const fs::path file = bridge::ManifestPath(browser, places, system);
    const bridge::ManifestCheck check = bridge::CheckManifestFile(browser, file);
    std::cout << "  " << (system ? "system-wide" : "per-user") << " manifest " << file.string()
              << ": ";
    if (check.state == bridge::ManifestCheck::State::Absent) {
        std::cout << "not installed\n";
        return {};
    }
    std::vector<std::string> problems = check.problems;
    if (check.state == bridge::ManifestCheck::State::Good) {
        const bridge::ProbeResult probe =
            bridge::ProbeHost(check.host, bridge::BrowserArguments(browser, file), kProbeTimeout);
        if (probe.answered) {
            std::cout << "ready; the host " << check.host.string() << " answers: ostrel-bridge "
                      << probe.hostVersion << ", protocol " << probe.protocol << "\n";
            return {true, true};
        }
        problems.push_back("its host " + check.host.string() + " was started as " +
                           BrowserTitle(browser) + " starts it, and " + probe.problem);
    }
    std::cout << "broken\n";
    for (const auto& problem : problems) std::cout << "    problem: it " << problem << "\n";
    std::cout << "    fix: run " << InstallCommand(browser, options, system) << "\n";
    return {true, false};
}

int Status(const Options& options) {
    const bridge::Places places = PlacesFor(options);
    bool anyReady = false, anyBroken = false;
    for (const Browser browser : Chosen(options)) {
        std::cout << BrowserTitle(browser) << ":\n";
        const Checked user = CheckOne(browser, options, places, false);
        const Checked system = CheckOne(browser, options, places, true);
        anyBroken = anyBroken || (user.present && !user.good) || (system.present && !system.good);
        // The browser takes the user's manifest before the system's.
        const Checked& used = user.present ? user : system;
        if (used.good) {
            anyReady = true;
            std::cout << "  => ready" << (user.present ? "" : " (system-wide install)") << "\n";
        } else if (!used.present) {
            std::cout << "  => not installed: run " << InstallCommand(browser, options, false)
                      << "\n";
        } else {
            std::cout << "  => not ready\n";
        }
        PrintConfined(browser, places);
    }
    return anyReady && !anyBroken ? kExitOk : kExitFalse;
}

}  // namespace

void AddBridgeInstallCommands(CLI::App& bridgeApp, int& exitCode) {
    auto install = std::make_shared<Options>();
    CLI::App* installCommand = bridgeApp.add_subcommand(
        "install",
        "Write the manifests that let browsers start ostrel-bridge (beside this program) for the "
        "ostrel extension. With --browser all (the default) it writes them for the browsers "
        "found here and says which it skipped; a browser named is always installed for.");
    AddCommonOptions(*installCommand, *install, true);
    installCommand->callback([&exitCode, install] { exitCode = Install(*install); });

    auto uninstall = std::make_shared<Options>();
    CLI::App* uninstallCommand = bridgeApp.add_subcommand(
        "uninstall",
        "Remove the manifests install writes (only those naming the ostrel host); with "
        "--extension-id, also stop allowing those extensions");
    AddCommonOptions(*uninstallCommand, *uninstall, true);
    uninstallCommand->callback([&exitCode, uninstall] { exitCode = Uninstall(*uninstall); });

    auto status = std::make_shared<Options>();
    CLI::App* statusCommand = bridgeApp.add_subcommand(
        "status",
        "Check each browser's per-user and system-wide manifests and greet the host each names, "
        "as the browser would start it; every problem is shown with the command that fixes it. "
        "Exit code 0 when at least one browser is ready and no installed manifest is broken, "
        "1 otherwise.");
    statusCommand
        ->add_option("--browser", status->browser,
                     "chromium, chrome, firefox, or all (default: all)")
        ->check(CLI::IsMember({"chromium", "chrome", "firefox", "all"}));
    statusCommand->add_option("--chromium-user-data-dir", status->chromiumUserDataDir,
                              "For a Chromium or Chrome started with --user-data-dir=DIR");
    statusCommand->callback([&exitCode, status] { exitCode = Status(*status); });
}

}  // namespace ostrel::cli
