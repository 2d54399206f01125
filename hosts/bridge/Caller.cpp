#include "hosts/bridge/Caller.h"

#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "platform/win/Files.h"

namespace ostrel::bridge {

namespace {

struct Named {
    std::string browser;  // "chromium" or "firefox"; empty when not a caller
    std::string id;
    std::string shown;
};

Named NameCaller(const std::vector<std::string>& args) {
    static const std::string kScheme = "chrome-extension://";
    if (!args.empty() && args[0].starts_with(kScheme)) {
        std::string id = args[0].substr(kScheme.size());
        if (id.ends_with("/")) id.pop_back();
        return {"chromium", id, args[0]};
    }
    if (args.size() >= 2 && !args[1].empty()) return {"firefox", args[1], "add-on " + args[1]};
    return {"", "", args.empty() ? "an unnamed caller" : "\"" + args[0] + "\""};
}

}  // namespace

bool IsChromiumExtensionId(const std::string& id) {
    if (id.size() != 32) return false;
    for (char c : id)
        if (c < 'a' || c > 'p') return false;
    return true;
}

CallerCheck CheckCaller(const std::vector<std::string>& args, const std::filesystem::path& home) {
    const Named named = NameCaller(args);
    CallerCheck check;
    check.caller = named.shown;
    const std::string advice = "; run `ostrel bridge install` to allow the extension";
    const auto refuse = [&](const std::string& why) {
        check.allowed = false;
        check.message = named.shown + " is not allowed to use this host: " + why + advice;
        return check;
    };
    if (named.browser.empty()) return refuse("no browser extension started it");
    if (named.browser == "chromium" &&
        (!IsChromiumExtensionId(named.id) || named.shown != "chrome-extension://" + named.id + "/"))
        return refuse("not the origin of an extension");

    const std::filesystem::path file = home / kExtensionsFile;
    std::string text;
    try {
        text = platform::win::ReadRegularFile(file, std::size_t(1) << 20, file.string());
    } catch (const std::exception& e) {
        return refuse(std::string("cannot read the allowed extensions (") + e.what() + ")");
    }
    // The list decides which programs may reach the user's keys: one that
    // others could have written is not the user's word.
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0 || !platform::win::TrustedOwner(st.st_uid) ||
        (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return refuse(file.string() + " may be changed by other users (mode " +
                      platform::win::OctalMode(st.st_mode & 07777) + ")");
    const nlohmann::json list = nlohmann::json::parse(text, nullptr, false);
    if (!list.is_object()) return refuse(file.string() + " is not a JSON object");
    const auto entries = list.find(named.browser);
    if (entries == list.end()) return refuse("it is not in " + file.string());
    if (!entries->is_array())
        return refuse(file.string() + ": \"" + named.browser + "\" is not a list");
    for (const auto& entry : *entries) {
        if (entry.is_string() && entry.get_ref<const std::string&>() == named.id) {
            check.allowed = true;
            check.message.clear();
            return check;
        }
    }
    return refuse("it is not in " + file.string());
}

}  // namespace ostrel::bridge
