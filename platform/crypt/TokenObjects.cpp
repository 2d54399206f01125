// The certificates on tokens, in the order the personal store lists them,
// and what the modules and their tokens look like.

#include <algorithm>
#include <map>
#include <tuple>

#include "platform/crypt/Certificate.h"
#include "platform/crypt/Ossl.h"
#include "platform/crypt/P11Kit.h"
#include "platform/crypt/Pkcs11.h"
#include "platform/crypt/Store.h"
#include "platform/crypt/Tokens.h"

namespace platform::crypt {
namespace {

struct PresentToken {
    CK_SLOT_ID slot;
    CK_TOKEN_INFO info;
    std::string serial;
};

// What C_GetTokenInfo said of the token in a slot, by module and slot. Kept
// while this process holds a session with that token which still works: a
// token pulled out ends its sessions, and the slot is then read anew. The
// slots themselves are listed at every opening, which finds a new token.
std::mutex g_slotMutex;
std::map<std::pair<const TokenModule*, CK_SLOT_ID>, CK_TOKEN_INFO>& g_slotInfo =
    *new std::map<std::pair<const TokenModule*, CK_SLOT_ID>, CK_TOKEN_INFO>();

// What the modules did wrong, for the warnings; guarded by g_slotMutex and
// emptied with the slots as the modules are closed.
std::vector<std::string>& g_moduleWarnings = *new std::vector<std::string>();

bool KnownToken(TokenModule& module, CK_SLOT_ID slot, CK_TOKEN_INFO& info) {
    {
        std::lock_guard lock(g_slotMutex);
        const auto it = g_slotInfo.find({&module, slot});
        if (it == g_slotInfo.end()) return false;
        info = it->second;
    }
    return SessionAlive(module, FieldText(info.serialNumber, sizeof info.serialNumber), slot);
}

void KeepToken(TokenModule& module, CK_SLOT_ID slot, const CK_TOKEN_INFO& info) {
    std::lock_guard lock(g_slotMutex);
    g_slotInfo[{&module, slot}] = info;
}

std::vector<PresentToken> PresentTokens(TokenModule& module) {
    const SlotListing listing = ListSlots(module, true);
    if (!listing.returned.Ok()) return {};
    std::vector<PresentToken> tokens;
    for (const auto slot : listing.slots) {
        PresentToken token{slot, {}, {}};
        if (!KnownToken(module, slot, token.info)) {
            if (module.Call(&CK_FUNCTION_LIST::C_GetTokenInfo, slot, &token.info).Keep() != CKR_OK)
                continue;
            KeepToken(module, slot, token.info);
        }
        // A token that is not set up yet holds nothing to list.
        if ((token.info.flags & CKF_TOKEN_INITIALIZED) == 0) continue;
        token.serial = FieldText(token.info.serialNumber, sizeof token.info.serialNumber);
        tokens.push_back(std::move(token));
    }
    std::stable_sort(tokens.begin(), tokens.end(), [](const auto& a, const auto& b) {
        return std::tie(a.serial, a.slot) < std::tie(b.serial, b.slot);
    });
    return tokens;
}

std::string KeyUri(const TokenModule& module, const CK_TOKEN_INFO& token,
                   const std::vector<BYTE>& id) {
    const auto* kit = p11kit::Find();
    if (kit == nullptr) return {};
    P11KitUri* uri = kit->uri_new();
    if (uri == nullptr) return {};
    *kit->uri_get_module_info(uri) = module.info;
    *kit->uri_get_token_info(uri) = token;
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE attributes[] = {{CKA_CLASS, &keyClass, sizeof keyClass},
                                 {CKA_ID, const_cast<BYTE*>(id.data()), CK_ULONG(id.size())}};
    for (auto& attribute : attributes) kit->uri_set_attribute(uri, &attribute);
    char* text = nullptr;
    std::string out;
    if (kit->uri_format(uri, P11_KIT_URI_FOR_OBJECT_ON_TOKEN_AND_MODULE, &text) == P11_KIT_URI_OK &&
        text != nullptr)
        out = text;
    std::free(text);
    kit->uri_free(uri);
    return out;
}

// The ids of the keys of one class on the token.
std::vector<std::vector<unsigned char>> KeyIds(TokenSession& session, CK_OBJECT_CLASS keyClass) {
    std::vector<std::vector<unsigned char>> ids;
    for (const auto object : FindObjects(session, {{CKA_CLASS, &keyClass, sizeof keyClass}}))
        if (auto id = AttributeBytes(session, object, CKA_ID)) ids.push_back(std::move(*id));
    return ids;
}

struct Listed {
    std::vector<unsigned char> id;
    std::vector<unsigned char> der;
    ossl::X509Ptr cert;
};

std::vector<std::shared_ptr<const Certificate>> ReadToken(
    const std::shared_ptr<TokenModule>& module, const PresentToken& token) {
    auto session = SessionOf(module, token.serial, token.slot);
    std::lock_guard use(session->use);
    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE certType = CKC_X_509;
    std::vector<Listed> listed;
    for (const auto object :
         FindObjects(*session, {{CKA_CLASS, &certClass, sizeof certClass},
                                {CKA_CERTIFICATE_TYPE, &certType, sizeof certType}})) {
        auto der = AttributeBytes(*session, object, CKA_VALUE);
        if (!der || der->empty()) continue;
        const unsigned char* p = der->data();
        ossl::X509Ptr cert(d2i_X509(nullptr, &p, long(der->size())));
        // What does not decode whole is no certificate to sign with.
        if (!cert || p != der->data() + der->size()) {
            ossl::DropErrors();
            continue;
        }
        listed.push_back(
            Listed{AttributeBytes(*session, object, CKA_ID).value_or(std::vector<unsigned char>{}),
                   std::move(*der), std::move(cert)});
    }
    std::sort(listed.begin(), listed.end(), [](const Listed& a, const Listed& b) {
        return std::tie(a.id, a.der) < std::tie(b.id, b.der);
    });
    auto keyIds = KeyIds(*session, CKO_PRIVATE_KEY);
    for (auto& id : KeyIds(*session, CKO_PUBLIC_KEY)) keyIds.push_back(std::move(id));

    std::vector<std::shared_ptr<const Certificate>> out;
    for (auto& entry : listed) {
        auto key = std::make_shared<TokenKey>();
        key->module = module;
        key->moduleName = module->name;
        key->tokenLabel = FieldText(token.info.label, sizeof token.info.label);
        key->tokenSerial = token.serial;
        key->id.assign(entry.id.begin(), entry.id.end());
        key->uri = KeyUri(*module, token.info, key->id);
        key->keyVisible =
            !entry.id.empty() && std::find(keyIds.begin(), keyIds.end(), entry.id) != keyIds.end();
        if (auto cert = Certificate::OnToken(entry.cert.get(), std::move(key)))
            out.push_back(std::move(cert));
    }
    return out;
}

// What a token showed, kept while the token stays and nobody logged in since:
// an opening of the store then costs a look at the slots, not a read of
// every certificate.
struct CachedToken {
    unsigned long logins = 0;
    CK_SLOT_ID slot = 0;
    std::vector<std::shared_ptr<const Certificate>> certs;
};
using TokenCache = std::map<std::pair<const TokenModule*, std::string>, CachedToken>;
std::mutex g_cacheMutex;
// Emptied as the modules are finalised at the process's end, never destroyed.
TokenCache& g_cache = *new TokenCache();
std::shared_ptr<const ModuleSet>& g_cachedFor = *new std::shared_ptr<const ModuleSet>();

std::vector<std::shared_ptr<const Certificate>> TokenContents(
    const std::shared_ptr<const ModuleSet>& set, const std::shared_ptr<TokenModule>& module,
    const PresentToken& token) {
    const auto key = std::make_pair(static_cast<const TokenModule*>(module.get()), token.serial);
    const unsigned long logins = LoginGeneration();
    {
        std::lock_guard lock(g_cacheMutex);
        if (g_cachedFor != set) {
            g_cache.clear();
            g_cachedFor = set;
        }
        const auto it = g_cache.find(key);
        if (it != g_cache.end() && it->second.logins == logins && it->second.slot == token.slot)
            return it->second.certs;
    }
    std::vector<std::shared_ptr<const Certificate>> certs;
    try {
        certs = ReadToken(module, token);
    } catch (const TokenGoneError&) {
        return {};  // gone while it was read: it holds nothing now
    } catch (const platform::Failure&) {
        return {};
    }
    std::lock_guard lock(g_cacheMutex);
    if (g_cachedFor == set) g_cache[key] = CachedToken{logins, token.slot, certs};
    return certs;
}

}  // namespace

void NoteModuleWarning(const std::string& warning) {
    std::lock_guard lock(g_slotMutex);
    if (std::find(g_moduleWarnings.begin(), g_moduleWarnings.end(), warning) ==
        g_moduleWarnings.end())
        g_moduleWarnings.push_back(warning);
}

std::vector<std::string> ModuleWarnings() {
    std::lock_guard lock(g_slotMutex);
    return g_moduleWarnings;
}

void ForgetTokenContents() {
    {
        std::lock_guard lock(g_slotMutex);
        g_slotInfo.clear();
        g_moduleWarnings.clear();
    }
    TokenCache forgotten;
    std::shared_ptr<const ModuleSet> set;
    {
        std::lock_guard lock(g_cacheMutex);
        forgotten.swap(g_cache);
        set = std::move(g_cachedFor);
        g_cachedFor.reset();
    }
}

std::vector<std::shared_ptr<const Certificate>> TokenCertificates(const DiskStore* files) {
    const auto set = LoadedModules();
    std::vector<std::shared_ptr<const Certificate>> out;
    for (const auto& module : set->modules)
        for (const auto& token : PresentTokens(*module))
            for (auto& cert : TokenContents(set, module, token)) out.push_back(std::move(cert));
    if (out.empty()) return out;

    // A certificate is listed once: where it comes first.
    std::vector<const std::vector<BYTE>*> seen;
    std::vector<std::shared_ptr<const Certificate>> fileCerts;
    for (std::size_t i = 0; files != nullptr && i < files->Count(); ++i) {
        try {
            fileCerts.push_back(files->Load(i));
            seen.push_back(&fileCerts.back()->Der());
        } catch (const StoreError&) {
            // A damaged entry holds no certificate to compare.
        }
    }
    std::vector<std::shared_ptr<const Certificate>> unique;
    for (auto& cert : out) {
        const bool twice = std::any_of(seen.begin(), seen.end(), [&](const std::vector<BYTE>* der) {
            return *der == cert->Der();
        });
        if (twice) continue;
        unique.push_back(std::move(cert));
        seen.push_back(&unique.back()->Der());
    }
    return unique;
}

std::vector<ModuleView> TokenOverview() {
    const auto set = LoadedModules();
    std::vector<ModuleView> views;
    for (const auto& module : set->modules) {
        ModuleView view;
        view.name = module->name;
        view.path = module->path;
        view.description = module->description;
        const SlotListing listing = ListSlots(*module, false);
        if (!listing.returned.Ok()) {
            view.error = !listing.problem.empty()
                             ? listing.problem
                             : "its slots cannot be listed: " + listing.returned.Cause();
            views.push_back(std::move(view));
            continue;
        }
        for (const auto slot : listing.slots) {
            TokenView token;
            token.slot = slot;
            CK_SLOT_INFO slotInfo{};
            if (module->Call(&CK_FUNCTION_LIST::C_GetSlotInfo, slot, &slotInfo).Keep() == CKR_OK) {
                token.slotDescription =
                    FieldText(slotInfo.slotDescription, sizeof slotInfo.slotDescription);
                token.present = (slotInfo.flags & CKF_TOKEN_PRESENT) != 0;
            }
            if (token.present) {
                CK_TOKEN_INFO info{};
                const Returned read = module->Call(&CK_FUNCTION_LIST::C_GetTokenInfo, slot, &info);
                if (read.Keep() != CKR_OK) {
                    token.error = "the token cannot be read: " + read.Cause();
                } else {
                    token.label = FieldText(info.label, sizeof info.label);
                    token.serial = FieldText(info.serialNumber, sizeof info.serialNumber);
                    token.manufacturer = FieldText(info.manufacturerID, sizeof info.manufacturerID);
                    token.model = FieldText(info.model, sizeof info.model);
                    token.initialized = (info.flags & CKF_TOKEN_INITIALIZED) != 0;
                    token.loginRequired = (info.flags & CKF_LOGIN_REQUIRED) != 0;
                    token.pinLocked = (info.flags & CKF_USER_PIN_LOCKED) != 0;
                    token.pinPad = (info.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0;
                    token.pinCountLow = (info.flags & CKF_USER_PIN_COUNT_LOW) != 0;
                    token.pinFinalTry = (info.flags & CKF_USER_PIN_FINAL_TRY) != 0;
                }
            }
            view.tokens.push_back(std::move(token));
        }
        views.push_back(std::move(view));
    }
    return views;
}

}  // namespace platform::crypt
