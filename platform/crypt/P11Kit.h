#pragma once
// p11-kit, bound when the token layer first needs it. Most processes never
// look past the personal store's file entries, and loading p11-kit (with the
// library it brings) and running its start-up cost each of them about half a
// millisecond; so nothing links it, and the functions used are looked up in
// it on first use. Private to the crypt layer.

#include <string>

#include "platform/crypt/Pkcs11.h"

namespace platform::crypt::p11kit {

struct Api {
    decltype(&::p11_kit_be_quiet) be_quiet;
    decltype(&::p11_kit_message) message;
    decltype(&::p11_kit_modules_load) modules_load;
    decltype(&::p11_kit_module_load) module_load;
    decltype(&::p11_kit_module_initialize) module_initialize;
    decltype(&::p11_kit_module_finalize) module_finalize;
    decltype(&::p11_kit_module_release) module_release;
    decltype(&::p11_kit_module_get_name) module_get_name;
    decltype(&::p11_kit_module_get_filename) module_get_filename;
    decltype(&::p11_kit_config_option) config_option;
    decltype(&::p11_kit_uri_new) uri_new;
    decltype(&::p11_kit_uri_free) uri_free;
    decltype(&::p11_kit_uri_get_module_info) uri_get_module_info;
    decltype(&::p11_kit_uri_get_token_info) uri_get_token_info;
    decltype(&::p11_kit_uri_set_attribute) uri_set_attribute;
    decltype(&::p11_kit_uri_format) uri_format;
};

// The functions, loading p11-kit the first time; nullptr when it cannot be
// loaded or lacks one of them, with `why` (when given) saying so.
const Api* Find(std::string* why = nullptr);

// The functions, where p11-kit is known to be loaded already (a module was
// loaded through it); throws Failure otherwise.
const Api& Loaded();

}  // namespace platform::crypt::p11kit
