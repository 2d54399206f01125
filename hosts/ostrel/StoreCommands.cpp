// `ostrel store`: the personal store "MY" as people manage it: list, import,
// remove, and make test certificates.

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "hosts/ostrel/Cli.h"
#include "hosts/ostrel/StoreTool.h"
#include "platform/crypt/Store.h"
#include "platform/win/ErrorText.h"
#include "platform/win/WinError.h"

namespace ostrel::cli {
namespace {

namespace crypt = platform::crypt;
namespace fs = std::filesystem;

constexpr std::size_t kMaxInputFile = 4 * 1024 * 1024;

std::string CodeHex(DWORD code) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", unsigned(code));
    return buf;
}

// The store's own words, then the code and its description.
std::string Explain(const crypt::StoreError& e) {
    std::string text = std::string(e.what()) + " (" + CodeHex(e.Code());
    if (const auto description = SystemErrorDescription(e.Code()))
        text += ": " + std::string(*description);
    return text + ")";
}

// Certificates are written by others: their names may hold control
// characters that would steer the terminal.
std::string Printable(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool c1 = c == 0xC2 && i + 1 < text.size() &&
                        static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (c < 0x20 || c == 0x7F || c1) {
            const unsigned value = c1 ? static_cast<unsigned char>(text[++i]) : c;
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", value);
            out += buf;
        } else {
            out += char(c);
        }
    }
    return out;
}

fs::path PersonalFolder() {
    return crypt::StoreFolder(crypt::OstrelHome(), "MY");
}

bool Absent(const fs::path& folder) {
    std::error_code ec;
    return fs::symlink_status(folder, ec).type() == fs::file_type::not_found;
}

// Store failures are operations that could not be carried out; the message
// says which.
template <typename F>
auto Guard(const std::string& doing, F&& body) {
    try {
        return body();
    } catch (const crypt::StoreError& e) {
        throw Failure(doing + ": " + Explain(e));
    }
}

nlohmann::json ListEntries() {
    nlohmann::json rows = nlohmann::json::array();
    const fs::path folder = Guard("cannot find the personal store", PersonalFolder);
    if (Absent(folder)) return rows;
    const auto store = Guard("cannot list the personal store",
                             [&] { return crypt::DiskStore::Open(folder, false); });
    for (std::size_t i = 0; i < store.Count(); ++i) {
        nlohmann::json row = {{"position", i}, {"file", store.EntryNames()[i]}};
        try {
            const auto cert = store.Load(i);
            const EntryView view = DescribeEntry(*cert);
            row["subject"] = view.subject;
            row["email"] = view.email;
            row["issuer"] = view.issuer;
            row["notBefore"] = view.notBefore;
            row["notAfter"] = view.notAfter;
            row["serial"] = view.serial;
            row["hasKey"] = view.hasKey;
            row["damaged"] = false;
        } catch (const crypt::StoreError& e) {
            // The same entries that the enumeration stands in for with a
            // context without a certificate, for the same reason.
            row["error"] = Explain(e);
            row["errorCode"] = CodeHex(e.Code());
            row["damaged"] = true;
            row["damage"] = e.Reason();
        } catch (const std::exception& e) {
            // Whatever one entry holds, the others are still listed.
            row["error"] = std::string("the entry cannot be shown: ") + e.what();
            row["errorCode"] = CodeHex(E_FAIL);
            row["damaged"] = true;
            row["damage"] = e.what();
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string Text(const nlohmann::json& row, const char* key) {
    return Printable(row.value(key, std::string()));
}

void PrintPlain(const nlohmann::json& rows) {
    if (rows.empty()) {
        std::cout << "The personal store is empty.\n";
        return;
    }
    std::size_t unreadable = 0;
    for (const auto& row : rows) {
        const auto position = row["position"].get<std::size_t>();
        if (row.contains("error")) {
            ++unreadable;
            std::cout << position << ": CANNOT BE READ: " << Text(row, "error") << "\n"
                      << "   Entry:    " << Text(row, "file") << "\n"
                      << "   Remove it with: ostrel store remove " << position << "\n\n";
            continue;
        }
        const std::string subject = Text(row, "subject");
        const std::string email = Text(row, "email");
        std::cout << position << ": " << (subject.empty() ? "(no subject)" : subject) << "\n"
                  << "   E-mail:   " << (email.empty() ? "-" : email) << "\n"
                  << "   Issuer:   " << Text(row, "issuer") << "\n"
                  << "   Valid:    " << Text(row, "notBefore") << " to " << Text(row, "notAfter")
                  << "\n"
                  << "   Serial:   " << Text(row, "serial") << "\n"
                  << "   Key:      " << (row["hasKey"].get<bool>() ? "yes" : "no") << "\n"
                  << "   Entry:    " << Text(row, "file") << "\n\n";
    }
    std::cout << rows.size() << (rows.size() == 1 ? " entry" : " entries");
    if (unreadable > 0) std::cout << ", " << unreadable << " of them unreadable";
    std::cout << "\n";
}

// Adds to the personal store; a certificate it holds already is refused.
std::size_t AddToPersonalStore(X509* cert, EVP_PKEY* key, const std::string& what) {
    const auto der = crypt::ossl::ToDer(cert, i2d_X509);
    if (der.empty()) throw Failure("cannot encode the certificate of " + what);
    return Guard("cannot add " + what + " to the personal store", [&] {
        auto store = crypt::DiskStore::Open(PersonalFolder(), true);
        return store.Add(der, key);
    });
}

void NoteKeyKind(EVP_PKEY* key) {
    if (key != nullptr && EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA)
        std::cerr << "ostrel: note: the private key is not an RSA key; signing with it will "
                     "fail\n";
}

std::size_t ParsePosition(const std::string& text) {
    const auto refuse = [&] {
        return UsageError("\"" + Printable(text) +
                          "\" is not a position: positions are the numbers that `ostrel store "
                          "list` shows, from 0");
    };
    if (text.empty() || text.size() > 18 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        throw refuse();
    return std::stoull(text);
}

void RemoveEntry(const std::string& positionText) {
    const std::size_t position = ParsePosition(positionText);
    const fs::path folder = Guard("cannot find the personal store", PersonalFolder);
    if (Absent(folder))
        throw UsageError("no entry at position " + positionText + ": the personal store is empty");
    auto store = Guard("cannot open the personal store",
                       [&] { return crypt::DiskStore::Open(folder, false); });
    if (position >= store.Count())
        throw UsageError("no entry at position " + positionText + ": the personal store holds " +
                         std::to_string(store.Count()) +
                         (store.Count() == 1 ? " entry" : " entries"));
    const std::string expected = store.EntryNames()[position];
    std::string description;
    try {
        const EntryView view = DescribeEntry(*store.Load(position));
        description = Printable(view.subject) + " (serial " + view.serial + ")";
    } catch (const std::exception&) {
        description = "an unreadable entry";
    }
    std::string removed;
    try {
        removed = store.RemoveAt(position);
    } catch (const crypt::StoreError& e) {
        if (e.Code() == CRYPT_E_NOT_FOUND) throw UsageError(Explain(e));
        throw Failure("cannot remove position " + positionText + ": " + Explain(e));
    }
    // Another process may have changed the store between our look and the
    // removal; then only the file name is known for sure.
    if (removed == expected)
        std::cout << "Removed position " << position << ": " << description << ", entry " << removed
                  << "\n";
    else
        std::cout << "Removed position " << position << ": entry " << removed << "\n";
}

}  // namespace

void AddStoreCommands(CLI::App& app, int& exitCode) {
    CLI::App* store = app.add_subcommand(
        "store", "Manage the personal certificate store \"MY\" (in $OSTREL_HOME/stores/MY)");
    store->require_subcommand(1);

    auto* list = store->add_subcommand("list", "List every entry with its position");
    auto json = std::make_shared<bool>(false);
    list->add_flag("--json", *json, "Print a JSON array of objects");
    list->callback([&exitCode, json] {
        const nlohmann::json rows = ListEntries();
        if (*json)
            std::cout << rows.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
        else
            PrintPlain(rows);
        exitCode = kExitOk;
    });

    auto* import = store->add_subcommand(
        "import", "Add a certificate with its private key from a PKCS#12 or PEM file");
    auto importFile = std::make_shared<std::string>();
    auto passwordFile = std::make_shared<std::string>();
    import->add_option("FILE", *importFile, "PKCS#12 (.p12, .pfx) or PEM file; - reads stdin")
        ->required();
    import->add_option("--password-file", *passwordFile,
                       "Read the password from the first line of this file (default: ask on "
                       "the terminal; none when stdin is not a terminal)");
    import->callback([&exitCode, importFile, passwordFile] {
        const std::string bytes = ReadInput(*importFile, kMaxInputFile);
    PasswordSource passwords(*passwordFile);
    const Credentials creds = ReadCredentials(bytes, *importFile, passwords);
    const std::size_t position = AddToPersonalStore(creds.cert.get(), creds.key.get(), *importFile);
    if (!creds.key)
        std::cerr << "ostrel: note: " << *importFile
                  << " holds no private key; the certificate was added without one and "
                     "cannot sign\n";
    NoteKeyKind(creds.key.get());
    std::cout << position << "\n";
    exitCode = kExitOk;
});

auto* remove = store->add_subcommand("remove", "Remove the entry at a position");
auto position = std::make_shared<std::string>();
remove->add_option("POSITION", *position, "Position as `ostrel store list` shows it")->required();
remove->callback([&exitCode, position] {
    RemoveEntry(*position);
    exitCode = kExitOk;
});

auto* make = store->add_subcommand(
    "new-test-cert", "Make an RSA key and a test certificate and add them to the store");
auto options = std::make_shared<TestCertOptions>();
auto noKey = std::make_shared<bool>(false);
make->add_option("--subject", options->subject,
                 "Subject as /KEY=value/...; \\/ for a slash in a value")
    ->required();
make->add_option("--issuer-subject", options->issuerSubject,
                 "Issued by a throwaway CA of this name (default: self-signed)");
make->add_option("--not-before", options->notBefore,
                 "First day of validity, YYYY-MM-DD, from 00:00:00 UTC (default: a day ago)");
make->add_option("--not-after", options->notAfter,
                 "Last day of validity, YYYY-MM-DD, to 23:59:59 UTC (default: in 365 days)");
make->add_option("--serial", options->serialHex,
                 "Serial number in hexadecimal (default: 16 random octets)");
make->add_flag("--no-key", *noKey, "Add the certificate without its private key");
make->add_option("--bits", options->bits, "RSA key size")
    ->check(CLI::Range(1024, 16384))
    ->capture_default_str();
make->callback([&exitCode, options, noKey] {
    const Credentials creds = MakeTestCertificate(*options);
    const std::size_t position = AddToPersonalStore(
        creds.cert.get(), *noKey ? nullptr : creds.key.get(), "the new certificate");
    std::cout << position << "\n";
    exitCode = kExitOk;
});
}  // namespace ostrel::cli

}  // namespace ostrel::cli
