// The built module as hosts meet it: registered by `ostrel register`,
// created by program identifier or class identifier through the registry,
// called late-bound, unregistered; and the module file as tools read it.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <vector>

#include "control/OstrelIds.h"
#include "platform/com/Activation.h"
#include "platform/com/Registry.h"
#include "platform/com/Resource.h"
#include "platform/com/VersionInfo.h"
#include "tests/platform/com/ComTestSupport.h"
#include "tests/support/SoftTokens.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TestTsa.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using ostrel::test::RunCommand;

std::string Bin() {
    const char* bin = std::getenv("OSTREL_BIN");
    return bin != nullptr ? bin : "bin";
}
std::string Ostrel() {
    return Bin() + "/ostrel";
}
std::string Module() {
    return Bin() + "/OSTREL.OCX";
}

const std::string kClsid = platform::com::GuidToString(CLSID_Ostrel);
const std::string kPageClsid = platform::com::GuidToString(CLSID_OstrelPropPage);
const std::string kLibid = platform::com::GuidToString(LIBID_OSTRELLib);

std::string RegistryText(const ostrel::test::TempHome& home) {
    const fs::path file = home.Path() / "registry.reg";
    return fs::exists(file) ? ostrel::test::ReadFile(file) : std::string();
}

std::set<std::string> KeySet() {
    std::set<std::string> keys;
    const auto hive = platform::com::registry::Load();
    for (const auto& [folded, key] : hive.Keys()) {
        std::string line = folded;
        for (const auto& v : key.values) line += "|" + v.name + "=" + v.Text();
        keys.insert(line);
    }
    return keys;
}

nlohmann::json CallJson(const std::string& args) {
    const auto r = RunCommand(Ostrel() + " call --json " + args);
    return nlohmann::json::parse(r.out);
}

// A signed message carrying its content, as hexadecimal text, made by OpenSSL.
std::string SignedHex(const ostrel::test::TestCert& cert, const fs::path& dir) {
    ostrel::test::WriteFile(dir / "cert.pem", cert.CertPem());
    ostrel::test::WriteFile(dir / "key.pem", cert.KeyPem());
    ostrel::test::WriteFile(dir / "text.txt", "text to sign");
    const auto r = RunCommand(
        "openssl cms -sign -nodetach -binary -md sha256 -in " + (dir / "text.txt").string() +
        " -signer " + (dir / "cert.pem").string() + " -inkey " + (dir / "key.pem").string() +
        " -outform DER | od -An -tx1 -v | tr -d ' \\n'");
    return r.out;
}

TEST(ModuleEndToEnd, RegisterCreateCallEveryMethodUnregister) {
    ostrel::test::TempHome home;
    const auto cert = ostrel::test::MakeCert();
    ostrel::test::AddToStore(cert);
    const std::string hex = SignedHex(cert, home.Path());
    ASSERT_FALSE(hex.empty());
    ostrel::test::WriteFile(home.Path() / "message.hex", hex);

    auto r = RunCommand(Ostrel() + " register");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("0x00000000 S_OK"), std::string::npos) << r.out;
    EXPECT_EQ(RegistryText(home).find("OSTREL.OstrelPropPage.1"), std::string::npos);

    for (const std::string& by :
         {std::string("--progid OSTREL.OstrelCtrl.1"), "--clsid " + kClsid}) {
        SCOPED_TRACE(by);
        auto signature = CallJson(by + " SignMessageNoPrompt 'text to sign' 0");
        EXPECT_EQ(signature["hresult"], "0x00000000");
        ASSERT_TRUE(signature["result"].is_string());
        EXPECT_FALSE(ostrel::test::DecodeBase64Text(signature["result"]).empty());

        // The unattended user cancels the chooser.
        auto prompted = CallJson(by + " SignMessage 'text to sign'");
        EXPECT_EQ(prompted["hresult"], "0x00000000");
        EXPECT_EQ(prompted["result"], "");

        EXPECT_EQ(
            CallJson(by + " VerifyMessage @" + (home.Path() / "message.hex").string())["result"],
            true);
        EXPECT_EQ(CallJson(by + " VerifyMessage 00")["result"], false);
        const auto subject =
            CallJson(by + " GetSubjectName - < " + (home.Path() / "message.hex").string());
        ASSERT_TRUE(subject["result"].is_string());
        EXPECT_NE(subject["result"].get<std::string>().find("Ann Lee"), std::string::npos);
        const auto serial =
            CallJson(by + " GetSerialNumber @" + (home.Path() / "message.hex").string());
        ASSERT_TRUE(serial["result"].is_string());
        EXPECT_FALSE(serial["result"].get<std::string>().empty());
        EXPECT_EQ(CallJson(by + " ChooseCertificate")["result"], -1);
        const auto about = CallJson(by + " AboutBox");
        EXPECT_EQ(about["hresult"], "0x00000000");
        EXPECT_TRUE(about["result"].is_null());
    }
    // Plain output, as the earlier commands print it.
    r = RunCommand(Ostrel() + " call VerifyMessage @" + (home.Path() / "message.hex").string());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "true\n");
    // Arguments are typed from the type information.
    r = RunCommand(Ostrel() + " call SignMessageNoPrompt text notanumber 2>&1");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("32-bit integer"), std::string::npos) << r.out;
    r = RunCommand(Ostrel() + " call ChooseCertificate extra 2>&1");
    EXPECT_EQ(r.status, 2);
    r = RunCommand(Ostrel() + " call NoSuchMethod 2>&1");
    EXPECT_EQ(r.status, 2);

    r = RunCommand(Ostrel() + " unregister");
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string after = RegistryText(home);
    for (const std::string& gone : {kClsid, kPageClsid, kLibid, std::string("OSTREL.OstrelCtrl.1"),
                                    std::string("OSTREL.OstrelPropPage.1")})
        EXPECT_EQ(after.find(gone), std::string::npos) << gone << "\n" << after;
    r = RunCommand(Ostrel() + " call --json AboutBox 2>&1");
    EXPECT_EQ(r.status, 3);
}

TEST(ModuleEndToEnd, TheSignerMakesCadesTByProgramIdentifierAndNamesAnAuthorityThatFails) {
    ostrel::test::TempHome home;
    const auto cert = ostrel::test::MakeCert();
    ostrel::test::AddToStore(cert);
    ostrel::test::WriteFile(home.Path() / "ca.pem", cert.CertPem());
    ostrel::test::WriteFile(home.Path() / "text.txt", "text to sign");
    const auto& tsa = ostrel::test::TestTsa::Shared();
    auto r = RunCommand(Ostrel() + " register");
    ASSERT_EQ(r.status, 0) << r.out;

    const auto sign = [&](const std::string& mode) {
        return CallJson(
            "--progid OSTREL.Signer.1 Sign 'text to sign' "
            "'{\"certificate\": 0, \"format\": \"CAdES-T\", \"tsa\": \"" +
            tsa.Url(mode) + "\"}'");
    };
    const auto stamped = sign("good");
    EXPECT_EQ(stamped["hresult"], "0x00000000");
    ASSERT_TRUE(stamped["result"].is_string());
    const auto der = ostrel::test::DecodeBase64Text(stamped["result"]);
    ostrel::test::WriteFile(home.Path() / "sig.der", std::string(der.begin(), der.end()));
    r = RunCommand("openssl cms -verify -cades -binary -purpose any -inform DER -in '" +
                   (home.Path() / "sig.der").string() + "' -content '" +
                   (home.Path() / "text.txt").string() + "' -CAfile '" +
                   (home.Path() / "ca.pem").string() + "' -out /dev/null 2>&1");
    EXPECT_EQ(r.status, 0) << r.out;

    const auto failed = sign("error500");
    EXPECT_EQ(failed["hresult"], "0x80020009");  // DISP_E_EXCEPTION
    EXPECT_FALSE(failed["result"].is_string());
    ASSERT_TRUE(failed["description"].is_string());
    EXPECT_NE(
        failed["description"].get<std::string>().find("No time stamp from " + tsa.Url("error500")),
        std::string::npos)
        << failed["description"];
    EXPECT_NE(failed["scode"], "0x80070057");  // not E_INVALIDARG: the options were good

    r = RunCommand(Ostrel() + " unregister");
    EXPECT_EQ(r.status, 0) << r.out;
}

TEST(ModuleEndToEnd, MissingModuleFileIsNamed) {
    ostrel::test::TempHome home;
    const fs::path copy = home.Path() / "copy" / "OSTREL.OCX";
    fs::create_directories(copy.parent_path());
    fs::copy_file(Module(), copy);
    ASSERT_EQ(RunCommand(Ostrel() + " register " + copy.string()).status, 0);
    fs::remove(copy);
    const auto r = RunCommand(Ostrel() + " call AboutBox 2>&1");
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.out.find(copy.string() + " does not exist"), std::string::npos) << r.out;

    // In process, the same answers as codes.
    CLSID unknown = IID__DOstrel;
    IUnknown* object = nullptr;
    EXPECT_EQ(CoCreateInstance(unknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&object)),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoCreateInstance(CLSID_Ostrel, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&object)),
              HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(object, nullptr);
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(u"OSTREL.NoSuchThing.1", &clsid), CO_E_CLASSSTRING);
}

// Every command reaches the control through its registration: with the
// registered module gone, each one reports it by name instead of quietly
// using another module; without any registration they use the module beside
// the program and write nothing into the registry.
TEST(ModuleEndToEnd, CommandsGoThroughTheRegistrationElseTheModuleBesideTheProgram) {
    ostrel::test::TempHome home;
    ostrel::test::AddToStore(ostrel::test::MakeCert({}));
    ostrel::test::WriteFile(home.Path() / "text.txt", "text to sign");
    const std::string text = (home.Path() / "text.txt").string();
    const std::string hexFile = (home.Path() / "signed.hex").string();
    ostrel::test::WriteFile(hexFile, SignedHex(ostrel::test::MakeCert({}), home.Path()));
    const std::vector<std::string> commands = {"sign --index 0 --in " + text,
                                               "verify --in " + hexFile,
                                               "subject --in " + hexFile,
                                               "serial --in " + hexFile,
                                               "typelib",
                                               "state save -",
                                               "properties --list"};

    for (const auto& command : commands) {
        const auto r = RunCommand(Ostrel() + " " + command + " 2>&1");
        EXPECT_EQ(r.status, 0) << command << ": " << r.out;
    }
    EXPECT_EQ(RegistryText(home), "");

    const fs::path copy = home.Path() / "copy" / "OSTREL.OCX";
    fs::create_directories(copy.parent_path());
    fs::copy_file(Module(), copy);
    ASSERT_EQ(RunCommand(Ostrel() + " register " + copy.string()).status, 0);
    const auto signedByCopy = RunCommand(Ostrel() + " sign --index 0 --in " + text);
    EXPECT_EQ(signedByCopy.status, 0);
    EXPECT_FALSE(ostrel::test::DecodeBase64Text(signedByCopy.out).empty());

    fs::remove(copy);
    for (const auto& command : commands) {
        const auto r = RunCommand(Ostrel() + " " + command + " 2>&1");
        EXPECT_EQ(r.status, 3) << command << ": " << r.out;
        EXPECT_NE(r.out.find(copy.string()), std::string::npos) << command << ": " << r.out;
    }
}

TEST(ModuleEndToEnd, ActivationLoadsOnceAndUnloadsWhenUnused) {
    ostrel::test::TempHome home;
    ASSERT_EQ(RunCommand(Ostrel() + " register").status, 0);
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(u"OSTREL.OstrelCtrl.1", &clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_Ostrel);
    IDispatch* first = nullptr;
    IDispatch* second = nullptr;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               reinterpret_cast<void**>(&first)),
              S_OK);
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IDispatch,
                               reinterpret_cast<void**>(&second)),
              S_OK);
    EXPECT_EQ(platform::com::LoadedServerModules(), 1u);
    first->Release();
    CoFreeUnusedLibraries();
    // A control still lives; were the module gone, releasing it would run
    // code that is no longer there.
    ASSERT_EQ(platform::com::LoadedServerModules(), 1u);
    second->Release();
    CoFreeUnusedLibraries();
    EXPECT_EQ(platform::com::LoadedServerModules(), 0u);
}

// A module that loaded token modules stays loaded when its host lets it go:
// finalising a token module may unload libraries of its own, which must not
// happen inside the unload of the code that called it (OpenSC's does, and
// the process then runs code that is no longer mapped). A host that loads
// it again finds the token modules the first load brought in, once.
TEST(ModuleEndToEnd, UnloadingAndLoadingTheModuleAgainHoldsTheTokenModulesOnce) {
    if (!ostrel::test::SoftTokens::Available()) {
        GTEST_SKIP() << "SoftHSM2 or its tools are not installed";
    }
    ostrel::test::TempHome home;
    ostrel::test::SoftTokens tokens(home.Path(), Bin() + "/libostrel_test_p11_faults.so");
    const auto cert = ostrel::test::MakeCert({.subject = "/CN=Card", .serialHex = "0C"});
    tokens.AddToken("Card");
    tokens.ImportKey("Card", cert, "01");
    tokens.ImportCert("Card", cert, "01");
    const fs::path log = home.Path() / "calls.log";
    ::setenv("OSTREL_TEST_P11_LOG", log.c_str(), 1);
    ASSERT_EQ(RunCommand(Ostrel() + " register").status, 0);
    const auto mapped = [](const char* name) {
        return ostrel::test::ReadFile("/proc/self/maps").find(name) != std::string::npos;
    };
    ASSERT_FALSE(mapped("libsofthsm2"));
    for (int load = 0; load < 2; ++load) {
        IDispatch* control = nullptr;
        ASSERT_EQ(CoCreateInstance(CLSID_Ostrel, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                   reinterpret_cast<void**>(&control)),
                  S_OK);
        // Nobody enters the PIN (the unattended user), but the store read
        // the token: its module is loaded.
        const auto r = ostrel::test::Call(
            control, 5, {ostrel::test::Variant::Str("text"), ostrel::test::Variant::I4(0)});
        EXPECT_EQ(r.hr, S_OK);
        EXPECT_TRUE(mapped("libsofthsm2"));
        control->Release();
        CoFreeUnusedLibraries();
        ASSERT_EQ(platform::com::LoadedServerModules(), 0u);
        EXPECT_TRUE(mapped("OSTREL.OCX")) << "load " << load;
        EXPECT_TRUE(mapped("libsofthsm2")) << "load " << load;
        EXPECT_EQ(ostrel::test::ReadFile(log), "C_Initialize\n") << "load " << load;
    }
    ::unsetenv("OSTREL_TEST_P11_LOG");
}

TEST(ModuleFile, ExportsExactlyTheFourEntryPoints) {
    platform::com::ModuleFileInfo info;
    ASSERT_EQ(platform::com::ReadModuleFile(Module(), info), S_OK);
    const std::vector<std::string> expected = {"DllCanUnloadNow", "DllGetClassObject",
                                               "DllRegisterServer", "DllUnregisterServer"};
    EXPECT_EQ(info.exports, expected);
    // A reader we did not write agrees.
    const auto nm = RunCommand("nm -D --defined-only " + Module() + " | awk '{print $3}' | sort");
    EXPECT_EQ(nm.out,
              "DllCanUnloadNow\nDllGetClassObject\nDllRegisterServer\nDllUnregisterServer\n");
}

TEST(ModuleFile, CarriesItsVersionBlockAndTypeLibrary) {
    const auto version = platform::com::ReadFileResource(Module(), "#16", 1);
    ASSERT_TRUE(version);
    const auto info = platform::com::ParseVersionInfo(*version);
    ASSERT_TRUE(info);
    // The release's number, the one the build is made with.
    EXPECT_EQ(info->fixed.dwFileVersionMS,
              DWORD(OSTREL_TEST_VERSION_MAJOR) << 16 | OSTREL_TEST_VERSION_MINOR);
    EXPECT_EQ(info->fixed.dwFileVersionLS, DWORD(OSTREL_TEST_VERSION_PATCH) << 16);
    EXPECT_EQ(info->fixed.dwProductVersionMS, info->fixed.dwFileVersionMS);
    EXPECT_EQ(info->fixed.dwProductVersionLS, info->fixed.dwFileVersionLS);
    EXPECT_EQ(info->fixed.dwFileFlagsMask, 0x3Fu);
    EXPECT_EQ(info->fixed.dwFileOS, VOS__WINDOWS32);
    EXPECT_EQ(info->fixed.dwFileType, VFT_DLL);
    EXPECT_EQ(info->tableName, "040904b0");
    std::vector<std::string> keys;
    for (const auto& [key, value] : info->strings) keys.push_back(key);
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
    std::string text = std::to_string(OSTREL_TEST_VERSION_MAJOR) + ". " +
                       std::to_string(OSTREL_TEST_VERSION_MINOR);
    if (OSTREL_TEST_VERSION_PATCH != 0) text += ". " + std::to_string(OSTREL_TEST_VERSION_PATCH);
    const std::vector<std::pair<std::string, std::string>> fixedValues = {
        {"Comments",
         "Requires Win NT 4.0 ( SP3 or higher) or Window95 with Internet Explorer 5.0 or higher"},
        {"FileDescription", "Ostrel ActiveX Control Module"},
        {"FileVersion", text},
        {"InternalName", "Ostrel"},
        {"LegalTrademarks", ""},
        {"OLESelfRegister", ""},
        {"OriginalFilename", "Ostrel.OCX"},
        {"PrivateBuild", ""},
        {"ProductName", "Ostrel ActiveX Control Module for digital signatures in Windows 32 bits"},
        {"ProductVersion", text},
        {"SpecialBuild", ""},
    };
    for (const auto& entry : fixedValues)
        EXPECT_NE(std::find(info->strings.begin(), info->strings.end(), entry), info->strings.end())
            << entry.first;
    EXPECT_EQ(info->strings.size(), fixedValues.size() + 2);  // company and legal notice
    ASSERT_EQ(info->translations.size(), 1u);
    EXPECT_EQ(info->translations[0], std::make_pair(WORD(0x0409), WORD(0x04B0)));

    // The library is read from the module file itself.
    const std::string module = Module();
    const std::u16string path(module.begin(), module.end());
    platform::com::ComPtr<ITypeLib> lib;
    ASSERT_EQ(LoadTypeLib(path.c_str(), lib.Put()), S_OK);
    EXPECT_EQ(lib->GetTypeInfoCount(), 5u);  // the control's three, the signer's two

    const auto r = RunCommand(Ostrel() + " info --json");
    ASSERT_EQ(r.status, 0);
    const auto json = nlohmann::json::parse(r.out);
    EXPECT_EQ(json["exports"].size(), 4u);
    EXPECT_EQ(json["resources"].size(), 14u);
    EXPECT_EQ(json["version"]["fileVersion"], "1.1.0.0");
}

TEST(ModuleRegistry, ConcurrentRegistrationsEndInAWholeState) {
    ostrel::test::TempHome home;
    std::string script;
    for (int i = 0; i < 50; ++i)
        script += Ostrel() + (i % 2 == 0 ? " register" : " unregister") + " >/dev/null 2>&1 & ";
    script += "wait";
    const auto r = RunCommand("sh -c '" + script + "'");
    ASSERT_EQ(r.status, 0);
    const auto final = KeySet();  // throws if the file does not parse
    ASSERT_EQ(RunCommand(Ostrel() + " register").status, 0);
    const auto registered = KeySet();
    ASSERT_EQ(RunCommand(Ostrel() + " unregister").status, 0);
    const auto unregistered = KeySet();
    EXPECT_TRUE(final == registered || final == unregistered);
}

TEST(ModuleRegistry, TruncatedFileIsReportedNotOverwritten) {
    ostrel::test::TempHome home;
    ASSERT_EQ(RunCommand(Ostrel() + " register").status, 0);
    std::string text = RegistryText(home);
    text.resize(text.size() / 2);
    // Cut inside a value, so the damage shows.
    text += "\n[HKEY_CURRENT_USER\\Software\\Classes\\X]\n@=\"unterminated\n";
    ostrel::test::WriteFile(home.Path() / "registry.reg", text);
    for (const char* command : {" register", " unregister"}) {
        const auto r = RunCommand(Ostrel() + command + " 2>&1");
        EXPECT_NE(r.status, 0) << command;
        EXPECT_NE(r.out.find("registry"), std::string::npos) << r.out;
        EXPECT_EQ(RegistryText(home), text);
    }
}

// ---------------------------------------------------------------------------
// Trust in the registry and in the modules it names

std::string Absolute(const std::string& path) {
    return fs::absolute(path).string();
}

mode_t ModeOf(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? mode_t(st.st_mode & 07777) : mode_t(-1);
}

std::string ClassesDefault(const std::string& subkey) {
    const auto hive = platform::com::registry::Load();
    const auto* key = hive.Find("HKEY_CURRENT_USER\\Software\\Classes\\" + subkey);
    if (key == nullptr) return "<no key>";
    for (const auto& v : key->values)
        if (v.name.empty()) return v.Text();
    return "<no value>";
}

fs::path CopyOfModule(const ostrel::test::TempHome& home, const std::string& folder) {
    const fs::path copy = home.Path() / folder / "OSTREL.OCX";
    fs::create_directories(copy.parent_path());
    fs::copy_file(Module(), copy);
    return copy;
}

// A module registered by a relative path is recorded by its full path; a
// registration that names one by a relative path (as another tool may write
// it) is refused, never resolved against the folder the host runs in, which
// may hold a file of anybody's making.
TEST(ModuleRegistry, ModulesAreRegisteredAndActivatedByFullPathsOnly) {
    ostrel::test::TempHome home;
    const fs::path copy = CopyOfModule(home, "bin");
    const std::string inHome = "cd '" + home.Path().string() + "' && " + Absolute(Ostrel());
    auto r = RunCommand(inHome + " register bin/OSTREL.OCX 2>&1");
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string full = fs::canonical(copy).string();
    EXPECT_EQ(ClassesDefault("CLSID\\" + kClsid + "\\InprocServer32"), full);
    EXPECT_EQ(ClassesDefault("CLSID\\" + kPageClsid + "\\InprocServer32"), full);
    EXPECT_EQ(ClassesDefault("TypeLib\\" + kLibid + "\\1.1\\409\\win32"), full);
    EXPECT_EQ(ClassesDefault("TypeLib\\" + kLibid + "\\1.1\\HELPDIR"),
              fs::path(full).parent_path().string());
    r = RunCommand(inHome + " call AboutBox 2>&1");
    EXPECT_EQ(r.status, 0) << r.out;

    std::string text = RegistryText(home);
    for (auto at = text.find(full); at != std::string::npos; at = text.find(full, at))
        text.replace(at, full.size(), "bin/OSTREL.OCX");
    ostrel::test::WriteFile(home.Path() / "registry.reg", text);
    for (const std::string command : {"call AboutBox", "properties --list", "typelib"}) {
        r = RunCommand(inHome + " " + command + " 2>&1");
        EXPECT_EQ(r.status, 3) << command << ": " << r.out;
        EXPECT_NE(r.out.find("relative path"), std::string::npos) << command << ": " << r.out;
        EXPECT_NE(r.out.find("bin/OSTREL.OCX"), std::string::npos) << command << ": " << r.out;
    }
}

// The registry's folder and file are made private whatever the umask, and
// a registry or module that others can change is refused by name with the
// fix, by registration and by every command, instead of being used.
TEST(ModuleRegistry, ARegistryOrModuleOthersCanChangeIsRefused) {
    ostrel::test::TempHome home;
    const fs::path fresh = home.Path() / "fresh";
    auto r = RunCommand("umask 000; OSTREL_HOME='" + fresh.string() + "' " + Ostrel() +
                        " register 2>&1");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(ModeOf(fresh), 0700u);
    EXPECT_EQ(ModeOf(fresh / "registry.reg"), 0600u);

    const fs::path copy = CopyOfModule(home, "copy");
    fs::permissions(copy, fs::perms(0666));
    r = RunCommand(Ostrel() + " register " + copy.string() + " 2>&1");
    EXPECT_EQ(r.status, 3) << r.out;
    EXPECT_NE(r.out.find(copy.string() + " has mode 0666"), std::string::npos) << r.out;
    EXPECT_EQ(RegistryText(home), "") << "nothing of it was loaded or registered";

    fs::permissions(copy, fs::perms(0755));
    ASSERT_EQ(RunCommand(Ostrel() + " register " + copy.string()).status, 0);
    const auto call = [] { return RunCommand(Ostrel() + " call AboutBox 2>&1"); };
    EXPECT_EQ(call().status, 0);
    fs::permissions(copy, fs::perms(0666));
    r = call();
    EXPECT_EQ(r.status, 3) << r.out;
    EXPECT_NE(r.out.find(copy.string() + " has mode 0666"), std::string::npos) << r.out;
    fs::permissions(copy, fs::perms(0755));
    // Others could put their own file in its place.
    fs::permissions(copy.parent_path(), fs::perms(0777));
    r = call();
    EXPECT_EQ(r.status, 3) << r.out;
    EXPECT_NE(r.out.find("the folder " + copy.parent_path().string()), std::string::npos) << r.out;
    // Unless the folder is sticky: then only the module's owner can.
    fs::permissions(copy.parent_path(), fs::perms(01777));
    EXPECT_EQ(call().status, 0);
    fs::permissions(copy.parent_path(), fs::perms(0755));

    const fs::path file = home.Path() / "registry.reg";
    fs::permissions(file, fs::perms(0666));
    for (const std::string command : {"call AboutBox", "properties --list", "register"}) {
        r = RunCommand(Ostrel() + " " + command + " 2>&1");
        EXPECT_EQ(r.status, 3) << command << ": " << r.out;
        EXPECT_NE(r.out.find("chmod 600 '" + file.string() + "'"), std::string::npos)
            << command << ": " << r.out;
    }
}

// A FIFO in the module's place is refused at once; opening it would wait
// for a writer for ever.
TEST(ModuleRegistry, AModuleThatIsNoRegularFileIsRefusedWithoutWaiting) {
    ostrel::test::TempHome home;
    const fs::path copy = CopyOfModule(home, "copy");
    ASSERT_EQ(RunCommand(Ostrel() + " register " + copy.string()).status, 0);
    fs::remove(copy);
    ASSERT_EQ(::mkfifo(copy.c_str(), 0600), 0);
    for (const std::string& command : {" call AboutBox"s, " register " + copy.string()}) {
        const auto r = RunCommand("timeout 60 " + Ostrel() + command + " 2>&1");
        EXPECT_EQ(r.status, 3) << command << ": " << r.out;
        EXPECT_NE(r.out.find(copy.string() + " is not a regular file"), std::string::npos)
            << command << ": " << r.out;
    }
}

std::vector<fs::path> DamagedCopies(const ostrel::test::TempHome& home) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(home.Path()))
        if (entry.path().filename().string().starts_with("registry.reg.damaged-"))
            found.push_back(entry.path());
    return found;
}

// A damaged registry is not one without registrations: every command says
// which file is damaged and how to recover, rather than quietly using the
// module beside the program; `register --repair` moves it aside, keeping it
// whole, and leaves a sound registry alone.
TEST(ModuleRegistry, ADamagedRegistryIsReportedByEveryCommandAndRepairedOnRequest) {
    ostrel::test::TempHome home;
    ASSERT_EQ(RunCommand(Ostrel() + " register").status, 0);
    const fs::path file = home.Path() / "registry.reg";
    const std::string damaged =
        RegistryText(home) + "[HKEY_CURRENT_USER\\Software\\Classes\\X]\n@=\"unterminated\n";
    ostrel::test::WriteFile(file, damaged);
    for (const std::string command :
         {"call AboutBox", "properties --list", "state save -", "typelib", "register"}) {
        const auto r = RunCommand(Ostrel() + " " + command + " 2>&1");
        EXPECT_EQ(r.status, 3) << command << ": " << r.out;
        EXPECT_NE(r.out.find(file.string() + " is damaged"), std::string::npos)
            << command << ": " << r.out;
        EXPECT_NE(r.out.find("ostrel register --repair"), std::string::npos)
            << command << ": " << r.out;
    }
    EXPECT_EQ(RegistryText(home), damaged);

    auto r = RunCommand(Ostrel() + " register --repair " + Module() + " 2>&1");
    EXPECT_EQ(r.status, 2) << r.out;
    r = RunCommand(Ostrel() + " register --repair 2>&1");
    ASSERT_EQ(r.status, 0) << r.out;
    const auto copies = DamagedCopies(home);
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_NE(r.out.find(copies[0].string()), std::string::npos) << r.out;
    EXPECT_EQ(ostrel::test::ReadFile(copies[0]), damaged);
    EXPECT_TRUE(platform::com::registry::Load().Keys().empty());

    ASSERT_EQ(RunCommand(Ostrel() + " register").status, 0);
    const std::string sound = RegistryText(home);
    r = RunCommand(Ostrel() + " register --repair 2>&1");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("not damaged"), std::string::npos) << r.out;
    EXPECT_EQ(RegistryText(home), sound);
    EXPECT_EQ(DamagedCopies(home).size(), 1u);
    EXPECT_EQ(RunCommand(Ostrel() + " call AboutBox").status, 0);
}

}  // namespace
