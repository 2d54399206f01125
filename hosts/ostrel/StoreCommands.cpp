// `ostrel store`: the personal store "MY" as people manage it: list, import,
// remove, make test certificates, and the tokens whose certificates it shows.

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "hosts/ostrel/Cli.h"
#include "hosts/ostrel/StoreTool.h"
#include "platform/crypt/Store.h"
#include "platform/crypt/Tokens.h"
#include "platform/text/Utf.h"
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
    for (std::size_t i = 0; i < text.size();) {
        // C0, DEL and C1 controls show as their code; bytes that are not
        // UTF-8 pass as they are.
        const platform::com::Utf8Char c = platform::com::DecodeUtf8(text, i);
        const bool control =
            c.code < 0x20 || c.code == 0x7F || (c.valid && c.code >= 0x80 && c.code <= 0x9F);
        if (control) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", unsigned(c.code));
            out += buf;
        } else {
            out.append(text.substr(i, c.length));
        }
        i += c.length;
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

void Describe(nlohmann::json& row, const crypt::Certificate& cert) {
    const EntryView view = DescribeEntry(cert);
    row["subject"] = view.subject;
    row["email"] = view.email;
    row["issuer"] = view.issuer;
    row["notBefore"] = view.notBefore;
    row["notAfter"] = view.notAfter;
    row["serial"] = view.serial;
    row["hasKey"] = view.hasKey;
    row["damaged"] = false;
}

// The certificates on tokens that follow the file entries, as the store's
// enumeration lists them; what kept a module from loading goes to standard
// error.
std::vector<std::shared_ptr<const crypt::Certificate>> TokenRows(const crypt::DiskStore* files) {
    auto certs = crypt::TokenCertificates(files);
    for (const auto& warning : crypt::TokenWarnings())
        std::cerr << "ostrel: warning: " << Printable(warning) << "\n";
    return certs;
}

void AddTokenRows(nlohmann::json& rows, const crypt::DiskStore* files) {
    std::size_t position = files == nullptr ? 0 : files->Count();
    for (const auto& cert : TokenRows(files)) {
        const crypt::TokenKey* key = cert->Token();
        nlohmann::json row = {{"position", position++}, {"kind", "token"}};
        Describe(row, *cert);
        if (key != nullptr) {
            row["token"] = key->tokenLabel;
            row["tokenSerial"] = key->tokenSerial;
            row["module"] = key->moduleName;
            row["uri"] = key->uri;
            // Private keys may stay hidden until the PIN is given: a
            // visible public key with the same id counts.
            row["hasKey"] = key->keyVisible;
        }
        rows.push_back(std::move(row));
    }
}

nlohmann::json ListEntries() {
    nlohmann::json rows = nlohmann::json::array();
    const fs::path folder = Guard("cannot find the personal store", PersonalFolder);
    if (Absent(folder)) {
        AddTokenRows(rows, nullptr);
        return rows;
    }
    const auto store = Guard("cannot list the personal store",
                             [&] { return crypt::DiskStore::Open(folder, false); });
    for (std::size_t i = 0; i < store.Count(); ++i) {
        nlohmann::json row = {{"position", i}, {"kind", "file"}, {"file", store.EntryNames()[i]}};
        try {
            Describe(row, *store.Load(i));
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
    AddTokenRows(rows, &store);
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
        const bool onToken = row.value("kind", std::string()) == "token";
        std::cout << position << ": " << (subject.empty() ? "(no subject)" : subject) << "\n"
                  << "   E-mail:   " << (email.empty() ? "-" : email) << "\n"
                  << "   Issuer:   " << Text(row, "issuer") << "\n"
                  << "   Valid:    " << Text(row, "notBefore") << " to " << Text(row, "notAfter")
                  << "\n"
                  << "   Serial:   " << Text(row, "serial") << "\n";
        if (onToken)
            std::cout << "   Key:      "
                      << (row["hasKey"].get<bool>() ? "yes, on the token" : "none visible") << "\n"
                      << "   Token:    " << Text(row, "token") << " (serial "
                      << Text(row, "tokenSerial") << ")\n"
                      << "   URI:      " << Text(row, "uri") << "\n\n";
        else
            std::cout << "   Key:      " << (row["hasKey"].get<bool>() ? "yes" : "no") << "\n"
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
    if (key != nullptr && EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA &&
        EVP_PKEY_get_base_id(key) != EVP_PKEY_EC)
        std::cerr << "ostrel: note: the private key is neither an RSA nor an EC key; signing "
                     "with it will fail\n";
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

// A position past the file entries may hold a certificate on a token, which
// only the token's own tools change.
void RefuseTokenEntry(std::size_t position, const crypt::DiskStore* files) {
    const std::size_t first = files == nullptr ? 0 : files->Count();
    const auto certs = TokenRows(files);
    if (position < first || position - first >= certs.size()) return;
    const crypt::TokenKey* key = certs[position - first]->Token();
    throw UsageError("position " + std::to_string(position) + " is a certificate on the token \"" +
                     Printable(key != nullptr ? key->tokenLabel : "") + "\" (serial " +
                     Printable(key != nullptr ? key->tokenSerial : "") +
                     "); the store does not remove what is on a token: use the token's own "
                     "tools");
}

// `ostrel store tokens`: the modules the store loads and their tokens.
nlohmann::json TokenReport() {
    nlohmann::json report;
    report["setting"] = crypt::TokenModuleSetting();
    // Looking at the slots may find a module at fault: the warnings are
    // taken after it.
    const auto overview = crypt::TokenOverview();
    report["warnings"] = crypt::TokenWarnings();
    nlohmann::json modules = nlohmann::json::array();
    for (const auto& m : overview) {
        nlohmann::json module = {
            {"name", m.name}, {"path", m.path}, {"description", m.description}};
        if (!m.error.empty()) module["error"] = m.error;
        nlohmann::json tokens = nlohmann::json::array();
        for (const auto& t : m.tokens) {
            nlohmann::json token = {
                {"slot", t.slot}, {"slotDescription", t.slotDescription}, {"present", t.present}};
            if (t.present) {
                token["label"] = t.label;
                token["serial"] = t.serial;
                token["manufacturer"] = t.manufacturer;
                token["model"] = t.model;
                token["initialized"] = t.initialized;
                token["loginRequired"] = t.loginRequired;
                token["pinLocked"] = t.pinLocked;
                token["pinPad"] = t.pinPad;
                token["pinCountLow"] = t.pinCountLow;
                token["pinFinalTry"] = t.pinFinalTry;
            }
            if (!t.error.empty()) token["error"] = t.error;
            tokens.push_back(std::move(token));
        }
        module["tokens"] = std::move(tokens);
        modules.push_back(std::move(module));
    }
    report["modules"] = std::move(modules);
    return report;
}

std::string Str(const nlohmann::json& object, const char* key) {
    return Printable(object.value(key, std::string()));
}

void PrintTokens(const nlohmann::json& report) {
    std::cout << "Modules: " << Str(report, "setting") << "\n";
    for (const auto& w : report["warnings"])
        std::cout << "Warning: " << Printable(w.get<std::string>()) << "\n";
    if (report["modules"].empty()) std::cout << "No PKCS#11 module is loaded.\n";
    for (const auto& m : report["modules"]) {
        std::cout << "\n" << Str(m, "name");
        if (m.value("path", std::string()) != m.value("name", std::string()))
            std::cout << " (" << Str(m, "path") << ")";
        std::cout << "\n";
        if (m.contains("error")) std::cout << "   " << Str(m, "error") << "\n";
        for (const auto& t : m["tokens"]) {
            std::cout << "   Slot " << t["slot"].get<unsigned long>() << ": ";
            if (!t["present"].get<bool>()) {
                std::cout << "no token\n";
                continue;
            }
            if (t.contains("error")) {
                std::cout << Str(t, "error") << "\n";
                continue;
            }
            if (!t["initialized"].get<bool>()) {
                std::cout << "a token that is not initialised\n";
                continue;
            }
            std::vector<std::string> state{"present"};
            if (t["pinLocked"].get<bool>()) state.push_back("PIN locked");
            if (t["pinPad"].get<bool>()) state.push_back("PIN pad");
            if (t["pinFinalTry"].get<bool>())
                state.push_back("last PIN try");
            else if (t["pinCountLow"].get<bool>())
                state.push_back("few PIN tries left");
            std::string joined;
            for (const auto& s : state) joined += (joined.empty() ? "" : ", ") + s;
            std::cout << "\"" << Str(t, "label") << "\" serial " << Str(t, "serial") << " ("
                      << Str(t, "manufacturer") << " " << Str(t, "model") << "): " << joined
                      << "\n";
        }
    }
}

void RemoveEntry(const std::string& positionText) {
    const std::size_t position = ParsePosition(positionText);
    const fs::path folder = Guard("cannot find the personal store", PersonalFolder);
    if (Absent(folder)) {
        RefuseTokenEntry(position, nullptr);
        throw UsageError("no entry at position " + positionText + ": the personal store is empty");
    }
    auto store = Guard("cannot open the personal store",
                       [&] { return crypt::DiskStore::Open(folder, false); });
    if (position >= store.Count()) {
        RefuseTokenEntry(position, &store);
        throw UsageError("no entry at position " + positionText + ": the personal store holds " +
                         std::to_string(store.Count()) +
                         (store.Count() == 1 ? " entry" : " entries"));
    }
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

    auto* importCommand = store->add_subcommand(
        "import", "Add a certificate with its private key from a PKCS#12 or PEM file");
    auto importFile = std::make_shared<std::string>();
    auto passwordFile = std::make_shared<std::string>();
    importCommand
        ->add_option("FILE", *importFile, "PKCS#12 (.p12, .pfx) or PEM file; - reads stdin")
        ->required();
    importCommand->add_option("--password-file", *passwordFile,
                              "Read the password from the first line of this file (default: ask on "
                              "the terminal; none when stdin is not a terminal)");
    importCommand->callback([&exitCode, importFile, passwordFile] {
        const std::string bytes = ReadInput(*importFile, kMaxInputFile);
        PasswordSource passwords(*passwordFile);
        const Credentials creds = ReadCredentials(bytes, *importFile, passwords);
        const std::size_t position =
            AddToPersonalStore(creds.cert.get(), creds.key.get(), *importFile);
        if (!creds.key)
            std::cerr << "ostrel: note: " << *importFile
                      << " holds no private key; the certificate was added without one and "
                         "cannot sign\n";
        NoteKeyKind(creds.key.get());
        std::cout << position << "\n";
        exitCode = kExitOk;
    });

    auto* tokens = store->add_subcommand(
        "tokens", "List the PKCS#11 modules the store loads and their tokens with their state");
    auto tokensJson = std::make_shared<bool>(false);
    tokens->add_flag("--json", *tokensJson, "Print a JSON object");
    tokens->callback([&exitCode, tokensJson] {
        const nlohmann::json report = TokenReport();
        if (*tokensJson)
            std::cout << report.dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
                      << "\n";
        else
            PrintTokens(report);
        exitCode = kExitOk;
    });

    auto* remove = store->add_subcommand("remove", "Remove the entry at a position");
    auto position = std::make_shared<std::string>();
    remove->add_option("POSITION", *position, "Position as `ostrel store list` shows it")
        ->required();
    remove->callback([&exitCode, position] {
        RemoveEntry(*position);
        exitCode = kExitOk;
    });

    auto* make = store->add_subcommand(
        "new-test-cert", "Make a key and a test certificate and add them to the store");
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
    auto* key =
        make->add_option("--key", options->key, "Kind of key: rsa, ec-p256, ec-p384 or ec-p521")
            ->check(CLI::IsMember(
                std::vector<std::string>(std::begin(kTestKeyKinds), std::end(kTestKeyKinds))))
            ->capture_default_str();
    auto* bits = make->add_option("--bits", options->bits, "RSA key size")
                     ->check(CLI::Range(1024, 16384))
                     ->capture_default_str();
    make->callback([&exitCode, options, noKey, key, bits] {
        if (bits->count() > 0 && key->count() > 0 && options->key != "rsa")
            throw UsageError("--bits sizes an RSA key; an EC key's size is its curve's");
        const Credentials creds = MakeTestCertificate(*options);
        const std::size_t position = AddToPersonalStore(
            creds.cert.get(), *noKey ? nullptr : creds.key.get(), "the new certificate");
        std::cout << position << "\n";
        exitCode = kExitOk;
    });
}  // namespace ostrel::cli

}  // namespace ostrel::cli
