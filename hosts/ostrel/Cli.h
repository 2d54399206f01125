#pragma once
// The `ostrel` command: its command groups and the few helpers they share.

#include <CLI/CLI.hpp>

#include <optional>
#include <string>
#include <string_view>

#include "hosts/shared/Failure.h"

namespace ostrel::cli {

// Exit codes every command keeps.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFalse = 1;    // false, an empty result, nothing chosen
inline constexpr int kExitUsage = 2;    // bad arguments or input refused
inline constexpr int kExitFailure = 3;  // the operation could not be carried out
inline constexpr int kExitNull = 4;     // the null string

// Each group adds its subcommands; the callbacks set `exitCode`.
void AddSignCommands(CLI::App& app, int& exitCode);
void AddStoreCommands(CLI::App& app, int& exitCode);
void AddInspectCommands(CLI::App& app, int& exitCode);
void AddChooseCommands(CLI::App& app, int& exitCode);
void AddTypeLibCommands(CLI::App& app, int& exitCode);
void AddControlCommands(CLI::App& app, int& exitCode);
void AddModuleCommands(CLI::App& app, int& exitCode);
void AddBridgeCommands(CLI::App& app, int& exitCode);
// The subcommands of `ostrel bridge`.
void AddBridgeInstallCommands(CLI::App& bridge, int& exitCode);
void AddBridgeOriginsCommands(CLI::App& bridge, int& exitCode);

// What `ostrel --version` prints: ostrel's version, then the OpenSSL and the Qt
// it runs with (Qt's only where the windowed user interface can be loaded).
std::string VersionReport();

// Runs the command line; returns the process exit code.
int Run(int argc, char** argv);

inline constexpr std::size_t kMaxInput = std::size_t(1) << 30;

// Reads a whole file ("-" or empty: standard input) as bytes, at most `limit`
// of them; throws UsageError with a clear message on failure.
std::string ReadInput(const std::string& path, std::size_t limit = kMaxInput);

// A file named on the command line ("-" or empty: standard input), open for
// reading a piece at a time, for input too large to want whole in memory.
// Throws UsageError with a clear message on failure.
class InputFile {
public:
    explicit InputFile(const std::string& path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    int Fd() const { return m_fd; }
    // How messages name the input: its path, or "standard input".
    const std::string& Name() const { return m_shown; }
    bool IsStandardInput() const { return !m_owned; }
    // The size of a regular file; nothing for a pipe or a terminal.
    std::optional<std::size_t> Size() const { return m_size; }
    // Up to `room` bytes into `into`; 0 at the end of the input.
    std::size_t Read(char* into, std::size_t room);

private:
    int m_fd = -1;
    bool m_owned = false;
    std::string m_shown;  // the name in messages
    std::optional<std::size_t> m_size;
};

// Writes bytes exactly to a file ("-" or empty: standard output).
void WriteOutput(const std::string& path, std::string_view bytes);

// Thrown by commands for input they refuse; printed as "ostrel: <what>".
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace ostrel::cli
