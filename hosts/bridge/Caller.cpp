#include "hosts/bridge/Caller.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include <nlohmann/json.hpp>

#include "hosts/bridge/Extension.h"
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
    // Whatever else started it is named in the log only: it may be a path.
    return {"", "", args.empty() ? "an unnamed caller" : "\"" + args[0] + "\""};
}

std::vector<std::string> ReadList(const nlohmann::json& list, const char* browser,
                                  const std::string& file) {
    std::vector<std::string> ids;
    const auto entries = list.find(browser);
    if (entries == list.end()) return ids;
    if (!entries->is_array())
        throw std::runtime_error(file + ": \"" + browser + "\" is not a list");
    for (const auto& entry : *entries) {
        if (!entry.is_string())
            throw std::runtime_error(file + ": \"" + browser + "\" holds something not a text");
        ids.push_back(entry.get<std::string>());
    }
    return ids;
}

void MakeFolders(const std::filesystem::path& folder) {
    std::filesystem::path partial;
    for (const auto& part : folder) {
        partial /= part;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
            throw std::runtime_error("cannot create the folder " + partial.string() + ": " +
                                     std::strerror(errno));
    }
}

}  // namespace

bool IsChromiumExtensionId(const std::string& id) {
    if (id.size() != 32) return false;
    for (char c : id)
        if (c < 'a' || c > 'p') return false;
    return true;
}

bool IsFirefoxExtensionId(const std::string& id) {
    if (id.size() < 3 || id.size() > 255) return false;
    if (id.front() == '{') {
        // {8-4-4-4-12 hex digits}
        if (id.size() != 38 || id.back() != '}') return false;
        for (std::size_t i = 1; i < 37; ++i) {
            const char c = id[i];
            const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
            if (dash ? c != '-' : !std::isxdigit(static_cast<unsigned char>(c))) return false;
        }
        return true;
    }
    const auto at = id.find('@');
    if (at == std::string::npos || at + 1 == id.size() || id.find('@', at + 1) != id.npos)
        return false;
    return std::all_of(id.begin(), id.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '_' || c == '-' || c == '+' || c == '@';
    });
}

ExtraExtensions ReadExtraExtensions(const std::filesystem::path& home) {
    const std::filesystem::path file = home / kExtensionsFile;
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) {
        if (errno == ENOENT) return {};
        throw std::runtime_error("cannot read " + file.string() + ": " + std::strerror(errno));
    }
    // The list decides which programs may reach the user's keys: one that
    // others could have written is not the user's word.
    if (!platform::win::TrustedOwner(st.st_uid) || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        throw std::runtime_error(file.string() + " may be changed by other users (mode " +
                                 platform::win::OctalMode(st.st_mode & 07777) + ")");
    const std::string text =
        platform::win::ReadRegularFile(file, std::size_t(1) << 20, file.string());
    const nlohmann::json list = nlohmann::json::parse(text, nullptr, false);
    if (!list.is_object()) throw std::runtime_error(file.string() + " is not a JSON object");
    return {ReadList(list, "chromium", file.string()), ReadList(list, "firefox", file.string())};
}

void WriteExtraExtensions(const std::filesystem::path& home, const ExtraExtensions& extra) {
    const std::filesystem::path file = home / kExtensionsFile;
    if (extra.chromium.empty() && extra.firefox.empty()) {
        std::error_code ec;
        std::filesystem::remove(file, ec);
        if (ec) throw std::runtime_error("cannot remove " + file.string() + ": " + ec.message());
        return;
    }
    MakeFolders(home);
    const nlohmann::json list = {{"chromium", extra.chromium}, {"firefox", extra.firefox}};
    platform::win::WriteAtomically(file, list.dump(2) + "\n", 0600, ".ostrel-tmp-");
}

CallerCheck CheckCaller(const std::vector<std::string>& args, const std::filesystem::path& home) {
    const Named named = NameCaller(args);
    CallerCheck check;
    check.caller = named.shown;
    const std::string advice =
        "; run `ostrel bridge install --extension-id ID` to allow another extension";
    // The caller is told why without the paths of this computer; the log
    // is told with them.
    const auto refuse = [&](const std::string& why, const std::string& fullWhy = {}) {
        check.allowed = false;
        const std::string shown = named.browser.empty() ? "the caller" : named.shown;
        check.message = shown + " is not allowed to use this host: " + why + advice;
        check.detail = named.shown +
                       " is not allowed to use this host: " + (fullWhy.empty() ? why : fullWhy) +
                       advice;
        return check;
    };
    if (named.browser.empty()) return refuse("no browser extension started it");
    if (named.browser == "chromium" &&
        (!IsChromiumExtensionId(named.id) || named.shown != "chrome-extension://" + named.id + "/"))
        return refuse("not the origin of an extension");

    const bool chromium = named.browser == "chromium";
    if (named.id == (chromium ? kChromiumExtensionId : kFirefoxExtensionId)) {
        check.allowed = true;
        return check;
    }
    ExtraExtensions extra;
    try {
        extra = ReadExtraExtensions(home);
    } catch (const std::exception& e) {
        const std::string why =
            "it is not the ostrel extension, and the added extensions cannot be read";
        return refuse(why, why + " (" + e.what() + ")");
    }
    const auto& ids = chromium ? extra.chromium : extra.firefox;
    if (std::find(ids.begin(), ids.end(), named.id) != ids.end()) {
        check.allowed = true;
        return check;
    }
    const std::string why = "it is neither the ostrel extension nor one added in ";
    return refuse(why + kExtensionsFile, why + (home / kExtensionsFile).string());
}

}  // namespace ostrel::bridge
