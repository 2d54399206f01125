#include <nlohmann/json.hpp>

#include <iostream>
#include <memory>
#include <string>

#include "hosts/bridge/Consent.h"
#include "hosts/ostrel/Cli.h"
#include "platform/crypt/Store.h"

namespace ostrel::cli {

namespace {

using bridge::ConsentError;
using bridge::ConsentStore;
using bridge::Grant;

ConsentStore Store() {
    return ConsentStore(platform::crypt::OstrelHome());
}

// The origin as the browser names it, or UsageError saying what one is.
std::string Origin(const std::string& typed) {
    if (auto origin = bridge::NormalOrigin(typed)) return *origin;
    throw UsageError("\"" + typed +
                     "\" is not the origin of a web page: give https://host or "
                     "https://host:port (http only for localhost, 127.x.x.x and [::1]), with "
                     "no path, for example https://bank.example");
}

template <class F>
auto Guarded(F&& f) {
    try {
        return f();
    } catch (const ConsentError& e) {
        throw Failure(e.what());
    }
}

void List(bool asJson) {
    const auto grants = Guarded([] { return Store().Load(); });
    std::string out;
    if (asJson) {
        nlohmann::json list = nlohmann::json::array();
        for (const auto& [origin, grant] : grants)
            list.push_back({{"origin", origin},
                            {"always", grant.always},
                            {"withoutPrompt", grant.withoutPrompt},
                            {"blocked", grant.blocked}});
        out = list.dump(2) + "\n";
    } else {
        for (const auto& [origin, grant] : grants) {
            std::string shown;
            if (grant.blocked) shown += " blocked";
            if (grant.always && !grant.blocked) shown += " always";
            if (grant.withoutPrompt && !grant.blocked) shown += " without-prompt";
            // Stored so by an older release: no browser names a site so.
            if (const auto normal = bridge::NormalOrigin(origin); normal != origin)
                shown += normal ? " (never matches: revoke it and allow " + *normal + ")"
                                : std::string(" (never matches: revoke it)");
            out += origin + (shown.empty() ? " (nothing)" : shown) + "\n";
        }
    }
    WriteOutput("-", out);
}

}  // namespace

// origins list | allow | revoke.
void AddBridgeOriginsCommands(CLI::App& bridge, int& exitCode) {
    CLI::App* origins = bridge.add_subcommand(
        "origins",
        "Show and change which web sites may use your certificates through the extension "
        "without asking you first. Without a subcommand: list.");
    auto json = std::make_shared<bool>(false);
    origins->add_flag("--json", *json, "Print a JSON array of objects");

    CLI::App* list = origins->add_subcommand(
        "list",
        "Print each site with its grants: \"always\" (choose a certificate and sign "
        "without asking first), \"without-prompt\" (sign by position without showing "
        "the text) and \"blocked\" (refused without asking: \"Block this site\").");
    auto listJson = std::make_shared<bool>(false);
    list->add_flag("--json", *listJson, "Print a JSON array of objects");
    list->callback([listJson] { List(*listJson); });

    CLI::App* allow = origins->add_subcommand(
        "allow",
        "Let a site choose your certificates and sign with them without asking you first "
        "each time. Not for http pages on this computer (http://localhost, "
        "http://127.x.x.x, http://[::1]): any user of it can serve them, so they are asked "
        "every time; serve such a page over https to allow it.");
    auto origin = std::make_shared<std::string>();
    auto withoutPrompt = std::make_shared<bool>(false);
    allow->add_option("origin", *origin, "The site, as https://host[:port]")->required();
    allow->add_flag("--without-prompt", *withoutPrompt,
                    "Also let it sign by certificate position without showing you the text (run "
                    "allow again without it to take that back)");
    allow->callback([origin, withoutPrompt] {
        const std::string site = Origin(*origin);
        if (bridge::IsSharedLoopback(site))
            throw UsageError(site +
                             " cannot be allowed ahead: any user of this computer can serve a "
                             "page there, so it is asked every time; serve the page over https "
                             "(https://" +
                             site.substr(7) + ") to allow it");
        Guarded([&] {
            Store().Set(site, Grant{.always = true, .withoutPrompt = *withoutPrompt}, false);
            return 0;
        });
        WriteOutput(
            "-", "allowed " + site + (*withoutPrompt ? " (also to sign without asking)\n" : "\n"));
    });

    CLI::App* revoke = origins->add_subcommand(
        "revoke", "Take back what a site was allowed, or unblock it; it asks you again next time.");
    auto revoked = std::make_shared<std::string>();
    revoke->add_option("origin", *revoked, "The site, as https://host[:port]")->required();
    revoke->callback([revoked, &exitCode] {
        const std::string site = Origin(*revoked);
        if (Guarded([&] { return Store().Revoke(site); })) {
            WriteOutput("-", "revoked " + site + "\n");
        } else {
            std::cerr << "ostrel: " << site << " was not allowed; nothing changed\n";
            exitCode = kExitFalse;
        }
    });

    origins->callback([origins, json] {
        if (origins->get_subcommands().empty()) List(*json);
    });
}

}  // namespace ostrel::cli
