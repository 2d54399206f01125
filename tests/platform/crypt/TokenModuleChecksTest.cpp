// Which PKCS#11 modules the store loads: each module file is checked before
// any of its code runs, and p11-kit's registered modules are read from its
// configuration the way p11-kit reads it.

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "platform/crypt/TokenRegistry.h"
#include "platform/crypt/Tokens.h"
#include "tests/support/SoftTokens.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace ostrel::test;
namespace fs = std::filesystem;
namespace crypt = platform::crypt;

fs::path FaultModule() {
    const char* bin = std::getenv("OSTREL_BIN");
    return (bin != nullptr ? fs::path(bin) : fs::read_symlink("/proc/self/exe").parent_path()) /
           "libostrel_test_p11_faults.so";
}

// The warning that names `path`, or an empty text.
std::string WarningFor(const std::vector<std::string>& warnings, const std::string& path) {
    for (const auto& w : warnings)
        if (w.find(path + " ") != std::string::npos) return w;
    return {};
}

// Copies of the fault-playing module, whose loading writes a marker file.
class ModuleFiles : public ::testing::Test {
protected:
    void SetUp() override {
        if (!SoftTokens::Available()) {
            GTEST_SKIP() << "SoftHSM2 or its tools are not installed";
        }
        m_tokens.emplace(m_home.Path());
        m_marker = m_home.Path() / "loaded.txt";
        ::setenv("OSTREL_TEST_P11_MARKER", m_marker.c_str(), 1);
        fs::create_directories(m_home.Path() / "modules");
    }
    void TearDown() override {
        ::unsetenv("OSTREL_TEST_P11_MARKER");
        crypt::CloseTokenModules();
    }

    // The module copied into `folder` (made with `folderMode`) with `fileMode`.
    std::string Plant(const std::string& folder, fs::perms folderMode, fs::perms fileMode) {
        const fs::path dir = m_home.Path() / "modules" / folder;
        fs::create_directories(dir);
        const fs::path file = dir / "fault.so";
        fs::copy_file(FaultModule(), file, fs::copy_options::overwrite_existing);
        fs::permissions(file, fileMode);
        fs::permissions(dir, folderMode);
        return file.string();
    }

    void Use(const std::vector<std::string>& paths) {
        std::string joined;
        for (const auto& p : paths) joined += (joined.empty() ? "" : ":") + p;
        ::setenv("OSTREL_PKCS11_MODULES", joined.c_str(), 1);
        crypt::CloseTokenModules();
    }

    TempHome m_home;
    std::optional<SoftTokens> m_tokens;
    fs::path m_marker;
};

TEST_F(ModuleFiles, EveryModuleOthersCouldChangeIsRefusedAndNamedBeforeAnyOfItsCodeRuns) {
    constexpr auto rwx = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                         fs::perms::others_read | fs::perms::others_exec;  // 0755
    const std::string good = Plant("good", rwx, rwx);
    const std::string groupWritable = Plant("g", rwx, rwx | fs::perms::group_write);
    const std::string othersWritable = Plant("o", rwx, rwx | fs::perms::others_write);
    const std::string inOpenFolder = Plant("open", fs::perms::all, rwx);
    // A link is judged by where it sits and by what it leads to.
    const std::string linkInOpenFolder = (m_home.Path() / "modules/open/link.so").string();
    fs::create_symlink(good, linkInOpenFolder);
    const std::string linkToOpenFolder = (m_home.Path() / "modules/good/to-open.so").string();
    fs::create_symlink(inOpenFolder, linkToOpenFolder);
    std::vector<std::pair<std::string, std::string>> refused = {
        {groupWritable, "mode 0775"},
        {othersWritable, "mode 0757"},
        {inOpenFolder, "the folder " + (m_home.Path() / "modules/open").string() + " of"},
        {linkInOpenFolder, "mode 0777"},
        {linkToOpenFolder, "mode 0777"},
    };
    if (::geteuid() == 0) {
        const std::string foreign = Plant("n", rwx, rwx);
        const passwd* nobody = ::getpwnam("nobody");
        ASSERT_NE(nobody, nullptr);
        ASSERT_EQ(::chown(foreign.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
        refused.emplace_back(foreign, "another owner");
    }
    std::vector<std::string> paths;
    for (const auto& [path, why] : refused) paths.push_back(path);
    paths.push_back("modules/good/fault.so");
    Use(paths);

    const auto warnings = crypt::TokenWarnings();
    for (const auto& [path, why] : refused) {
        const std::string warning = WarningFor(warnings, path);
        EXPECT_NE(warning.find(why), std::string::npos) << path << ": " << warning;
        EXPECT_NE(warning.find("not loaded"), std::string::npos) << warning;
    }
    EXPECT_TRUE(std::any_of(warnings.begin(), warnings.end(), [](const std::string& w) {
        return w.find("\"modules/good/fault.so\"") != std::string::npos &&
               w.find("not absolute") != std::string::npos;
    }));
    EXPECT_TRUE(crypt::TokenOverview().empty());
    EXPECT_FALSE(fs::exists(m_marker)) << "a refused module's code ran";
}

TEST_F(ModuleFiles, ASafeModuleAndALinkToItAreLoadedOnce) {
    constexpr auto rwx = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                         fs::perms::others_read | fs::perms::others_exec;
    const std::string good = Plant("good", rwx, rwx);
    const std::string alias = (m_home.Path() / "modules/good/alias.so").string();
    fs::create_symlink("fault.so", alias);
    Use({alias, good});
    EXPECT_TRUE(crypt::TokenWarnings().empty());
    const auto modules = crypt::TokenOverview();
    ASSERT_EQ(modules.size(), 1u);
    EXPECT_EQ(modules[0].path, alias);
    EXPECT_TRUE(fs::exists(m_marker));
}

// A configuration tree laid out as p11-kit's, in the test's home.
class P11KitRegistry : public ::testing::Test {
protected:
    P11KitRegistry() {
        const fs::path root = m_home.Path();
        m_places.systemConfig = root / "etc" / "pkcs11.conf";
        m_places.systemModules = root / "etc" / "modules";
        m_places.packageModules = root / "share" / "modules";
        m_places.userConfig = root / "user" / "pkcs11.conf";
        m_places.userModules = root / "user" / "modules";
        m_places.moduleFolder = "/usr/lib/pkcs11";
        m_places.program = "ostrel-test";
        Config("share", "softhsm2", "module: /opt/soft.so\n");
        Config("share", "opensc-pkcs11", "# cards\n  module:  opensc-pkcs11.so \npriority: 3\n");
        Config("share", "p11-kit-trust", "module: p11-kit-trust.so\ntrust-policy: yes\n");
        Config("share", "elsewhere", "module: /opt/e.so\nenable-in: firefox, chromium\n");
        Config("share", "here", "module: /opt/h.so\nenable-in: seahorse,ostrel-test\n");
        Config("share", "notme", "module: /opt/n.so\ndisable-in: ostrel-test\n");
        Config("share", "pathless", "priority: 9\n");
        Config("share", "remote", "remote: |/usr/bin/pkcs11-server\n");
        // The administrator's and the user's configurations come first; a
        // later one only adds the options they lack.
        Config("etc", "softhsm2", "module: /opt/admin-soft.so\n");
        Config("etc", "opensc-pkcs11", "module: /opt/admin-opensc.so\n");
        Config("user", "here", "module: /home/u/mine.so\n");
    }

    void Config(const std::string& where, const std::string& name, const std::string& text) {
        const fs::path file = m_home.Path() / where / "modules" / (name + ".module");
        WriteFile(file, text);
        fs::permissions(file, fs::perms(0644));
    }
    void Global(const fs::path& file, const std::string& text) {
        WriteFile(file, text);
        fs::permissions(file, fs::perms(0644));
    }

    // name=path, in the order read.
    std::vector<std::string> Read(std::vector<std::string>* warnings = nullptr) {
        const auto registry = crypt::ReadRegistry(m_places);
        if (warnings != nullptr) *warnings = registry.warnings;
        std::vector<std::string> out;
        for (const auto& m : registry.modules) out.push_back(m.name + "=" + m.path);
        return out;
    }

    TempHome m_home;
    crypt::RegistryPlaces m_places;
};

TEST_F(P11KitRegistry, ModulesAreReadAsP11KitReadsThemWithoutLoadingAny) {
    std::vector<std::string> warnings;
    EXPECT_EQ(Read(&warnings), (std::vector<std::string>{
                                   "opensc-pkcs11=/opt/admin-opensc.so",
                                   "here=/home/u/mine.so",
                                   "softhsm2=/opt/admin-soft.so",
                               }));
    // A module reached through p11-kit's remote option runs a command or
    // reaches a socket: nothing of it is a file to check.
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("remote"), std::string::npos) << warnings[0];

    // A relative module name is in p11-kit's module folder.
    Config("etc", "opensc-pkcs11", "module: opensc-pkcs11.so\n");
    EXPECT_EQ(Read()[0], "opensc-pkcs11=/usr/lib/pkcs11/opensc-pkcs11.so");
}

TEST_F(P11KitRegistry, TheUsersConfigurationCountsOnlyWhereP11KitReadsIt) {
    const std::string users = "here=/home/u/mine.so";
    const std::string packages = "here=/opt/h.so";
    const auto has = [](const std::vector<std::string>& read, const std::string& entry) {
        return std::find(read.begin(), read.end(), entry) != read.end();
    };
    m_places.userAllowed = false;  // root, or a setuid program
    EXPECT_TRUE(has(Read(), packages));
    m_places.userAllowed = true;
    Global(m_places.systemConfig, "user-config: none\n");
    EXPECT_TRUE(has(Read(), packages));
    Global(m_places.systemConfig, "user-config: merge\n");
    EXPECT_TRUE(has(Read(), users));
    Global(m_places.userConfig, "user-config: only\n");
    EXPECT_EQ(Read(), std::vector<std::string>{users});

    std::vector<std::string> warnings;
    Global(m_places.systemConfig, "user-config: sometimes\n");
    fs::remove(m_places.userConfig);
    EXPECT_TRUE(has(Read(&warnings), packages));
    EXPECT_TRUE(std::any_of(warnings.begin(), warnings.end(), [](const std::string& w) {
        return w.find("user-config: sometimes") != std::string::npos;
    }));
}

TEST_F(P11KitRegistry, ConfigurationsOthersCouldChangeOrThatDoNotParseAreIgnoredAndNamed) {
    const fs::path open = m_home.Path() / "share" / "modules" / "open.module";
    Config("share", "open", "module: /opt/open.so\n");
    fs::permissions(open, fs::perms(0666));
    Config("share", "broken", "module /opt/broken.so\n");
    // Every configuration in a folder others may write is suspect.
    fs::permissions(m_places.userModules, fs::perms::all);

    std::vector<std::string> warnings;
    const auto read = Read(&warnings);
    for (const auto& entry : read) {
        EXPECT_EQ(entry.find("open.so"), std::string::npos) << entry;
        EXPECT_EQ(entry.find("broken.so"), std::string::npos) << entry;
        EXPECT_EQ(entry.find("mine.so"), std::string::npos) << entry;
    }
    EXPECT_NE(WarningFor(warnings, open.string()).find("mode 0666"), std::string::npos);
    const std::string broken =
        WarningFor(warnings, (m_home.Path() / "share/modules/broken.module").string());
    EXPECT_NE(broken.find("line 1"), std::string::npos) << broken;
    const std::string user = WarningFor(warnings, (m_places.userModules / "here.module").string());
    EXPECT_NE(user.find("mode 0777"), std::string::npos) << user;
}

}  // namespace
