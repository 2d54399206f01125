#pragma once
// What the user-interface suites share: the backend, script and log chosen for
// one test, and the log read back as JSON.

#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace ostrel::test {

// Sets environment variables for the test's lifetime and puts the old values
// back afterwards.
class ScopedEnv {
public:
    ScopedEnv() = default;
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv() {
        for (const auto& [name, old] : m_saved) {
            if (old)
                ::setenv(name.c_str(), old->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
    }
    void Set(const std::string& name, const std::optional<std::string>& value) {
        if (!m_saved.count(name)) {
            const char* old = std::getenv(name.c_str());
            m_saved[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }

private:
    std::map<std::string, std::optional<std::string>> m_saved;
};

// An X display nobody serves on this machine (":n"), for the user interface
// to find unreachable.
inline std::string UnservedDisplay() {
    for (int n = 471;; ++n) {
        const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
        const std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
        if (!std::filesystem::exists(socket) && !std::filesystem::exists(lock))
            return ":" + std::to_string(n);
    }
}

// The scripted user with a log of its own, in a folder of its own.
class ScriptedUi {
public:
    explicit ScriptedUi(const std::string& script, const std::string& backend = "script") {
        char pattern[] = "/tmp/ostrel-ui-XXXXXX";
        m_folder = ::mkdtemp(pattern);
        m_env.Set("OSTREL_UI", backend);
        m_env.Set("OSTREL_UI_SCRIPT", script);
        m_env.Set("OSTREL_UI_LOG", LogPath().string());
    }
    ~ScriptedUi() {
        std::error_code ec;
        std::filesystem::remove_all(m_folder, ec);
    }
    void Script(const std::string& script) { m_env.Set("OSTREL_UI_SCRIPT", script); }
    std::filesystem::path LogPath() const { return m_folder / "ui.log"; }

    std::vector<nlohmann::json> Lines() const {
        std::vector<nlohmann::json> out;
        std::istringstream in(ReadFile(LogPath()));
        for (std::string line; std::getline(in, line);)
            if (!line.empty()) out.push_back(nlohmann::json::parse(line));
        return out;
    }
    // The boxes shown, as "style text".
    std::vector<std::string> Boxes() const {
        std::vector<std::string> out;
        for (const auto& l : Lines())
            if (l.contains("box"))
                out.push_back(std::to_string(l["style"].get<int>()) + " " +
                              l["box"].get<std::string>());
        return out;
    }
    // The dialog lines ("open", actions, "end"), in order.
    std::vector<nlohmann::json> DialogLines() const {
        std::vector<nlohmann::json> out;
        for (const auto& l : Lines())
            if (l.contains("dialog")) out.push_back(l);
        return out;
    }

private:
    std::filesystem::path m_folder;
    ScopedEnv m_env;
};

// Where the programs of this build are: OSTREL_BIN, or beside the test.
inline std::string BinFolder() {
    if (const char* bin = std::getenv("OSTREL_BIN"); bin != nullptr && *bin != '\0') return bin;
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
}

// A control of a dialog line, by identifier.
inline nlohmann::json ControlOf(const nlohmann::json& line, int id) {
    for (const auto& c : line["controls"])
        if (c["id"] == id) return c;
    return nullptr;
}

}  // namespace ostrel::test
