// Which PKCS#11 modules the personal store reads, and loading them through
// p11-kit in its managed mode, once per process.

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

#include "platform/crypt/Config.h"
#include "platform/crypt/P11Kit.h"
#include "platform/crypt/Pkcs11.h"
#include "platform/crypt/Store.h"
#include "platform/crypt/TokenRegistry.h"
#include "platform/crypt/Tokens.h"
#include "platform/text/NoCase.h"
#include "platform/win/ModuleFile.h"

namespace platform::crypt {
namespace {

constexpr char kSettingKey[] = "OSTREL_PKCS11_MODULES";

struct Setting {
    enum class Kind { Registered, None, Paths } kind = Kind::Registered;
    std::vector<std::string> paths;
    std::string source;  // where the setting came from
    std::vector<std::string> warnings;
};

std::string Trim(std::string_view s) {
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string_view::npos) return {};
    return std::string(s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1));
}

void Parse(const std::string& value, Setting& setting) {
    const std::string text = Trim(value);
    if (text.empty() || platform::text::EqualsNoCase(text, "registered")) {
        setting.kind = Setting::Kind::Registered;
        return;
    }
    if (platform::text::EqualsNoCase(text, "none")) {
        setting.kind = Setting::Kind::None;
        return;
    }
    setting.kind = Setting::Kind::Paths;
    std::size_t start = 0;
    while (start <= text.size()) {
        const auto end = std::min(text.find(':', start), text.size());
        const std::string path = Trim(std::string_view(text).substr(start, end - start));
        if (!path.empty()) {
            if (path.front() == '/')
                setting.paths.push_back(path);
            else
                setting.warnings.push_back("the module path \"" + path + "\" in " + setting.source +
                                           " is not absolute; it was skipped");
        }
        start = end + 1;
    }
}

// The key's value in the home's settings file (Config.h), which is ignored,
// with a warning, unless it is the user's own: a file others could change
// would choose the code this process loads.
std::optional<std::string> FromConfigFile(Setting& setting) {
    ConfigLookup lookup = LookUpConfig(kSettingKey);
    if (lookup.warning) setting.warnings.push_back(std::move(*lookup.warning));
    if (lookup.value) setting.source = lookup.file.string();
    return std::move(lookup.value);
}

Setting ReadSetting() {
    Setting setting;
    if (const char* env = std::getenv(kSettingKey); env != nullptr) {
        setting.source = kSettingKey;
        Parse(env, setting);
        return setting;
    }
    if (const auto value = FromConfigFile(setting)) {
        Parse(*value, setting);
        return setting;
    }
    setting.source = "the default";
    return setting;
}

std::string LastMessage() {
    const char* message = p11kit::Loaded().message();
    return message != nullptr && *message != '\0' ? std::string(": ") + message : std::string();
}

// Every module loaded in this process that may still be alive: certificates
// keep theirs after the set they came with is closed. Guarded by g_mutex.
std::vector<std::weak_ptr<TokenModule>>& Live() {
    static auto* live = new std::vector<std::weak_ptr<TokenModule>>();
    return *live;
}

// Initialises a loaded module and takes it into the set; a module that fails
// is released and named among the warnings.
void Adopt(ModuleSet& set, CK_FUNCTION_LIST* functions, std::string name, std::string path) {
    const auto& kit = p11kit::Loaded();
    const Returned initialized{kit.module_initialize(functions), "C_Initialize"};
    if (initialized.Keep() != CKR_OK) {
        set.warnings.push_back("the PKCS#11 module " + name +
                               " could not be initialised: " + initialized.Cause() + LastMessage());
        kit.module_release(functions);
        return;
    }
    auto module = std::make_shared<TokenModule>();
    Live().push_back(module);
    module->functions = functions;
    module->name = std::move(name);
    module->path = std::move(path);
    if (module->Call(&CK_FUNCTION_LIST::C_GetInfo, &module->info).Keep() == CKR_OK)
        module->description =
            FieldText(module->info.libraryDescription, sizeof module->info.libraryDescription);
    set.modules.push_back(std::move(module));
}

// Loads a module by its path once its file passed the checks every module
// passes before any of its code runs in this process.
void LoadChecked(ModuleSet& set, const p11kit::Api& kit, const std::string& name,
                 const std::string& path) {
    if (const auto problem = platform::win::ModuleFileProblem(path)) {
        set.warnings.push_back("the PKCS#11 module " + name + " was not loaded: " + *problem);
        return;
    }
    // One file registered twice, or named by two paths, is one module: its
    // tokens are listed once.
    std::error_code ec;
    for (const auto& loaded : set.modules)
        if (std::filesystem::equivalent(loaded->path, path, ec)) return;
    CK_FUNCTION_LIST* module = kit.module_load(path.c_str(), 0);
    if (module == nullptr) {
        set.warnings.push_back("the PKCS#11 module " + name + " could not be loaded" +
                               LastMessage());
        return;
    }
    Adopt(set, module, name, path);
}

std::shared_ptr<const ModuleSet> Load() {
    auto set = std::make_shared<ModuleSet>();
    Setting setting = ReadSetting();
    set->warnings = std::move(setting.warnings);
    if (setting.kind == Setting::Kind::None) {
        set->setting = "none (" + setting.source + ")";
        return set;
    }
    std::string why;
    const p11kit::Api* kit = p11kit::Find(&why);
    if (kit == nullptr) {
        set->setting = setting.kind == Setting::Kind::Registered
                           ? "the modules registered with p11-kit (" + setting.source + ")"
                           : "the modules in " + setting.source;
        set->warnings.push_back(why);
        return set;
    }
    // p11-kit tells its own troubles on standard error unless asked not to;
    // they are reported here, with the module they concern, instead.
    kit->be_quiet();
    switch (setting.kind) {
        case Setting::Kind::None:
            set->setting = "none (" + setting.source + ")";
            break;
        case Setting::Kind::Registered: {
            set->setting = "the modules registered with p11-kit (" + setting.source + ")";
            Registry registry = ReadRegistry(P11KitPlaces());
            for (auto& warning : registry.warnings) set->warnings.push_back(std::move(warning));
            for (const auto& module : registry.modules)
                LoadChecked(*set, *kit, module.name, module.path);
            break;
        }
        case Setting::Kind::Paths:
            set->setting = "the modules in " + setting.source;
            for (const auto& path : setting.paths) LoadChecked(*set, *kit, path, path);
            break;
    }
    return set;
}

std::mutex g_mutex;

// The modules stay loaded until the process ends (the code that loaded them
// stays loaded with them, see StayLoaded), and are then finalised by
// EndTokenModules.
std::shared_ptr<const ModuleSet>& Loaded() {
    static auto* loaded = new std::shared_ptr<const ModuleSet>();
    return *loaded;
}

std::atomic<bool> g_ending{false};

// Finalises every module as the process ends. It has to run before the
// static objects of the modules themselves are destroyed, and before
// OpenSSL's clean-up, which modules such as SoftHSM2 still use while they
// are finalised: a function given to atexit runs before the destructors of
// every static object whose construction was complete when it was given. So
// it is given after the load that brought modules in, whose static objects
// were all built by then.
void EndTokenModules() {
    g_ending = true;
    CloseTokenModules();
}

// Finalising a module may unload libraries of its own (OpenSC unloads the
// PC/SC library as it is finalised). Done while the code that loaded the
// modules is itself being unloaded (a host letting the control's module go),
// that nested unload makes the loader unmap this code while it still runs.
// So the code that loaded modules stays loaded until the process ends, and
// the modules are finalised only then.
void StayLoaded() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&EndTokenModules), &info) == 0 ||
        info.dli_fname == nullptr)
        return;
    // The handle is never closed: holding it is what keeps the code loaded.
    ::dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
}

}  // namespace

TokenModule::~TokenModule() {
    if (!leftLoaded) Finalize();
}

void TokenModule::Finalize() {
    std::unique_lock lock(mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        // A call into it is still running (another thread, as the process
        // ends): finalising it under that call would pull the module away
        // from it. It stays as it is, as a process that ends leaves it.
        leftLoaded = g_ending.load();
        return;
    }
    if (functions == nullptr) return;
    // A module was loaded through p11-kit, so it is bound.
    const auto* kit = p11kit::Find();
    if (kit == nullptr) return;
    // Nothing is left to do about a module that fails to finalise, and no
    // failure is under way to tell it with (this runs as modules are closed,
    // often as the process ends, when the causes a thread keeps are gone):
    // it is released all the same.
    kit->module_finalize(functions);
    kit->module_release(functions);
    functions = nullptr;
}

std::shared_ptr<const ModuleSet> LoadedModules() {
    std::lock_guard lock(g_mutex);
    if (!Loaded()) {
        Loaded() = Load();
        if (!Loaded()->modules.empty()) {
            StayLoaded();
            std::atexit(&EndTokenModules);
        }
    }
    return Loaded();
}

void CloseTokenModules() {
    std::shared_ptr<const ModuleSet> closing;
    std::vector<std::weak_ptr<TokenModule>> live;
    {
        std::lock_guard lock(g_mutex);
        closing = std::move(Loaded());
        Loaded().reset();
        live.swap(Live());
    }
    ForgetTokenSessions();
    ForgetTokenContents();
    closing.reset();
    // A certificate taken before keeps its module object, but not the
    // module: signing with it fails from now on.
    for (const auto& weak : live)
        if (const auto module = weak.lock()) module->Finalize();
}

std::vector<std::string> TokenWarnings() {
    std::vector<std::string> warnings = LoadedModules()->warnings;
    for (auto& warning : ModuleWarnings()) warnings.push_back(std::move(warning));
    return warnings;
}

std::string TokenModuleSetting() {
    return LoadedModules()->setting;
}

std::string FieldText(const unsigned char* field, std::size_t size) {
    std::size_t n = size;
    while (n > 0 && (field[n - 1] == ' ' || field[n - 1] == '\0')) --n;
    return std::string(reinterpret_cast<const char*>(field), n);
}

}  // namespace platform::crypt
