#include "platform/crypt/P11Kit.h"

#include <dlfcn.h>

#include <mutex>

namespace platform::crypt::p11kit {
namespace {

constexpr const char* kLibrary = "libp11-kit.so.0";

struct Binding {
    Api api{};
    bool ok = false;
    std::string why;
};

template <class F>
bool Bind(void* library, const char* name, F& into, std::string& why) {
    into = reinterpret_cast<F>(::dlsym(library, name));
    if (into == nullptr && why.empty()) why = std::string(kLibrary) + " has no " + name;
    return into != nullptr;
}

Binding Load() {
    Binding b;
    // Kept loaded until the process ends, as the modules loaded through it are.
    void* library = ::dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* error = ::dlerror();
        b.why = std::string("p11-kit cannot be loaded: ") + (error != nullptr ? error : kLibrary);
        return b;
    }
    Api& a = b.api;
    bool ok = true;
    ok &= Bind(library, "p11_kit_be_quiet", a.be_quiet, b.why);
    ok &= Bind(library, "p11_kit_message", a.message, b.why);
    ok &= Bind(library, "p11_kit_modules_load", a.modules_load, b.why);
    ok &= Bind(library, "p11_kit_module_load", a.module_load, b.why);
    ok &= Bind(library, "p11_kit_module_initialize", a.module_initialize, b.why);
    ok &= Bind(library, "p11_kit_module_finalize", a.module_finalize, b.why);
    ok &= Bind(library, "p11_kit_module_release", a.module_release, b.why);
    ok &= Bind(library, "p11_kit_module_get_name", a.module_get_name, b.why);
    ok &= Bind(library, "p11_kit_module_get_filename", a.module_get_filename, b.why);
    ok &= Bind(library, "p11_kit_config_option", a.config_option, b.why);
    ok &= Bind(library, "p11_kit_uri_new", a.uri_new, b.why);
    ok &= Bind(library, "p11_kit_uri_free", a.uri_free, b.why);
    ok &= Bind(library, "p11_kit_uri_get_module_info", a.uri_get_module_info, b.why);
    ok &= Bind(library, "p11_kit_uri_get_token_info", a.uri_get_token_info, b.why);
    ok &= Bind(library, "p11_kit_uri_set_attribute", a.uri_set_attribute, b.why);
    ok &= Bind(library, "p11_kit_uri_format", a.uri_format, b.why);
    b.ok = ok;
    return b;
}

const Binding& Bound() {
    static const Binding binding = Load();
    return binding;
}

}  // namespace

const Api* Find(std::string* why) {
    const Binding& b = Bound();
    if (!b.ok && why != nullptr) *why = b.why;
    return b.ok ? &b.api : nullptr;
}

const Api& Loaded() {
    const Api* api = Find();
    if (api == nullptr) throw Failure(ERROR_MOD_NOT_FOUND, Bound().why);
    return *api;
}

}  // namespace platform::crypt::p11kit
