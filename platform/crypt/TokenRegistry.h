#pragma once
// The PKCS#11 modules registered with p11-kit, read from the configuration
// p11-kit reads, without loading any of them. p11-kit itself loads every
// registered module at once, running each one's code before anyone could
// look at its file; reading the configuration here lets each module file be
// checked before it is loaded by its path. Private to the crypt layer.

#include <filesystem>
#include <string>
#include <vector>

namespace platform::crypt {

// Where p11-kit looks for its configuration.
struct RegistryPlaces {
    std::filesystem::path systemConfig;    // pkcs11.conf of the system
    std::filesystem::path userConfig;      // the user's pkcs11.conf
    std::filesystem::path userModules;     // the user's module configurations
    std::filesystem::path systemModules;   // the administrator's
    std::filesystem::path packageModules;  // those installed with packages
    std::filesystem::path moduleFolder;    // where a module named without a folder is
    // p11-kit reads no user configuration for root or a setuid program.
    bool userAllowed = true;
    // The name the enable-in and disable-in options speak of.
    std::string program;
};

// The places p11-kit on this system reads, for this process.
RegistryPlaces P11KitPlaces();

struct RegisteredModule {
    std::string name;  // the configuration's file name without ".module"
    std::string path;  // the module file as p11-kit would open it
    int priority = 0;
};

struct Registry {
    // The modules p11-kit would load for this program, without the
    // trust-policy ones (the system's trust anchors are no personal
    // certificates), in p11-kit's order: highest priority first, then by
    // name.
    std::vector<RegisteredModule> modules;
    // Configurations not followed, and modules left out, one sentence each.
    std::vector<std::string> warnings;
};

Registry ReadRegistry(const RegistryPlaces& places);

}  // namespace platform::crypt
