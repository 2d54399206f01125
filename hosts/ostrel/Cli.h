#pragma once
// The `ostrel` command: its command groups and the few helpers they share.

#include <CLI/CLI.hpp>

#include <string>
#include <string_view>

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

// Runs the command line; returns the process exit code.
int Run(int argc, char** argv);

// Reads a whole file ("-" or empty: standard input) as bytes, at most `limit`
// of them; throws UsageError with a clear message on failure.
std::string ReadInput(const std::string& path, std::size_t limit = std::size_t(1) << 30);
// Writes bytes exactly to a file ("-" or empty: standard output).
void WriteOutput(const std::string& path, std::string_view bytes);

// Thrown by commands for input they refuse; printed as "ostrel: <what>".
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace ostrel::cli
