#include "hosts/ostrel/Cli.h"

#include "platform/ui/QtModuleProbe.h"
#include "platform/win/Files.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <iostream>
#include <string_view>

namespace ostrel::cli {

InputFile::InputFile(const std::string& path) {
    const bool stdinput = path.empty() || path == "-";
    m_shown = stdinput ? std::string("standard input") : path;
    m_fd = stdinput ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) throw UsageError("cannot read " + path + ": " + std::strerror(errno));
    m_owned = !stdinput;
    struct stat st {};
    if (::fstat(m_fd, &st) == 0) {
        if (!stdinput && S_ISDIR(st.st_mode)) {
            ::close(m_fd);
            throw UsageError("cannot read " + path + ": it is a folder");
        }
        if (S_ISREG(st.st_mode)) m_size = static_cast<std::size_t>(st.st_size);
    }
}

InputFile::~InputFile() {
    if (m_owned) ::close(m_fd);
}

std::size_t InputFile::Read(char* into, std::size_t room) {
    for (;;) {
        const ssize_t n = ::read(m_fd, into, room);
        if (n >= 0) return std::size_t(n);
        if (errno != EINTR)
            throw UsageError("cannot read " + m_shown + ": " + std::strerror(errno));
    }
}

std::string ReadInput(const std::string& path, std::size_t limit) {
    const InputFile input(path);
    try {
        return platform::win::ReadAll(input.Fd(), limit, input.Name());
    } catch (const platform::win::FileError& e) {
        throw UsageError(e.what());
    }
}

void WriteOutput(const std::string& path, std::string_view bytes) {
    const bool stdoutput = path.empty() || path == "-";
    const int fd = stdoutput ? STDOUT_FILENO
                             : ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw Failure("cannot write " + path + ": " + std::strerror(errno));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            if (!stdoutput) ::close(fd);
            throw Failure("cannot write " + (stdoutput ? std::string("standard output") : path) +
                          ": " + std::strerror(err));
        }
        done += std::size_t(n);
    }
    if (!stdoutput && ::close(fd) != 0)
        throw Failure("cannot write " + path + ": " + std::strerror(errno));
}

std::string VersionReport() {
    std::string report =
        std::string("ostrel ") + OSTREL_VERSION + "\n" + OpenSSL_version(OPENSSL_VERSION) + "\n";
    // Qt is named only where the windowed user interface can be loaded: a
    // machine without it signs all the same, through the terminal or
    // unattended interfaces.
    const platform::ui::QtModuleProbe qt = platform::ui::ProbeQtModule();
    if (!qt.version.empty())
        report += "Qt " + qt.version + " (user interface " + qt.module + ")";
    else
        report += "Qt: not available (" + qt.problem + ")";
    return report;
}

namespace {

// The command groups in the order the help lists them, each with the
// commands it adds at the top level.
struct CommandGroup {
    void (*add)(CLI::App&, int&);
    std::initializer_list<std::string_view> commands;
};

const CommandGroup kGroups[] = {
    {AddSignCommands, {"sign"}},
    {AddStoreCommands, {"store"}},
    {AddInspectCommands, {"verify", "subject", "serial"}},
    {AddChooseCommands, {"choose"}},
    {AddTypeLibCommands, {"typelib"}},
    {AddControlCommands, {"draw", "about", "properties", "state"}},
    {AddModuleCommands, {"register", "unregister", "call", "info"}},
    {AddBridgeCommands, {"bridge"}},
};

// Adds the commands a command line can reach. Each process runs one command,
// and describing every command with its options costs more than the rest of
// a short one's work outside the cryptography, so a command line that names a
// command first gets that command's group alone. Anything else (no command, an
// option first, a name that is no command) gets every group, so that help
// and errors read as always; so does a name whose group turns out not to add
// it.
void AddCommands(CLI::App& app, int& exitCode, int argc, char** argv) {
    const CommandGroup* named = nullptr;
    if (argc > 1 && argv[1] != nullptr) {
        const std::string_view first = argv[1];
        for (const auto& group : kGroups)
            for (const std::string_view command : group.commands)
                if (command == first) named = &group;
    }
    if (named != nullptr) {
        named->add(app, exitCode);
        const std::string first = argv[1];
        const auto added = app.get_subcommands(
            [&first](const CLI::App* command) { return command->check_name(first); });
        if (!added.empty()) return;
    }
    for (const auto& group : kGroups)
        if (&group != named) group.add(app, exitCode);
}

}  // namespace

int Run(int argc, char** argv) {
    CLI::App app{
        "ostrel: sign texts with the certificates of your personal store, and inspect "
        "signed messages"};
    app.require_subcommand(1);
    app.set_version_flag("--version", VersionReport,
                         "Print the version of ostrel, and those of OpenSSL and Qt it runs with");
    int exitCode = kExitOk;
    try {
        AddCommands(app, exitCode, argc, argv);
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? kExitOk : kExitUsage;
    } catch (const UsageError& e) {
        std::cerr << "ostrel: " << e.what() << "\n";
        return kExitUsage;
    } catch (const Failure& e) {
        std::cerr << "ostrel: " << e.what() << "\n";
        return kExitFailure;
    } catch (const std::exception& e) {
        std::cerr << "ostrel: " << e.what() << "\n";
        return kExitFailure;
    }
    return exitCode;
}

}  // namespace ostrel::cli
