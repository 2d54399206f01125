#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "platform/com/Registry.h"
#include "platform/com/TypeLibRegistry.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace ostrel::test;
using namespace platform::com::registry;

constexpr LSTATUS kOk = 0;
constexpr LSTATUS kNotFound = 2;
constexpr LSTATUS kDenied = LSTATUS(ERROR_ACCESS_DENIED);
constexpr LSTATUS kInvalid = LSTATUS(ERROR_INVALID_PARAMETER);

std::string QueryText(HKEY root, const char* subkey, const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, subkey, 0, KEY_READ, &key) != kOk) return "<no key>";
    char buf[256];
    DWORD size = sizeof buf, type = 0;
    const LSTATUS status =
        RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
    RegCloseKey(key);
    if (status != kOk) return "<no value>";
    return std::string(buf, size > 0 ? size - 1 : 0);
}

TEST(Registry, KeysAndValuesRoundTripThroughTheExportFormat) {
    TempHome home;
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{1234}\\InprocServer32", 0, nullptr, 0,
                              KEY_WRITE, nullptr, &key, &disposition),
              kOk);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    const char path[] = "/opt/ostrel/OSTREL.OCX";
    ASSERT_EQ(
        RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path), sizeof path),
        kOk);
    const char tricky[] = "say \"hi\" C:\\x = [y]";
    ASSERT_EQ(RegSetValueExA(key, "Tricky", 0, REG_SZ, reinterpret_cast<const BYTE*>(tricky),
                             sizeof tricky),
              kOk);
    const BYTE dword[4] = {0x91, 0x04, 0x02, 0x00};
    ASSERT_EQ(RegSetValueExA(key, "Status", 0, REG_DWORD, dword, 4), kOk);
    std::vector<BYTE> blob(100);
    for (std::size_t i = 0; i < blob.size(); ++i) blob[i] = BYTE(i * 7);
    ASSERT_EQ(RegSetValueExA(key, "Blob", 0, REG_BINARY, blob.data(), DWORD(blob.size())), kOk);
    RegCloseKey(key);

    const std::string text = ReadFile(RegistryFile());
    EXPECT_TRUE(text.starts_with("Windows Registry Editor Version 5.00\n"));
    EXPECT_THAT(text, ::testing::HasSubstr(
                          "[HKEY_CURRENT_USER\\Software\\Classes\\CLSID\\{1234}\\InprocServer32]\n"
                          "@=\"/opt/ostrel/OSTREL.OCX\"\n"));
    EXPECT_THAT(text, ::testing::HasSubstr("\"Status\"=dword:00020491\n"));

    // Case does not matter in key or value names; the text comes back whole.
    EXPECT_EQ(QueryText(HKEY_CLASSES_ROOT, "clsid\\{1234}\\inprocserver32", ""), path);
    EXPECT_EQ(QueryText(HKEY_CLASSES_ROOT, "CLSID\\{1234}\\InprocServer32", "tricky"), tricky);
    const Hive reread = Hive::Parse(text, "test");
    EXPECT_EQ(reread.Format(), text);
    const Key* k =
        reread.Find("HKEY_CURRENT_USER\\Software\\Classes\\CLSID\\{1234}\\InprocServer32");
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(k->values[3].data, blob);

    HKEY clsid = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_READ, &clsid), kOk);
    char name[64];
    DWORD cch = sizeof name;
    ASSERT_EQ(RegEnumKeyExA(clsid, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), kOk);
    EXPECT_STREQ(name, "{1234}");
    cch = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(clsid, 1, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegDeleteKeyA(clsid, "{1234}"), ERROR_KEY_HAS_CHILDREN);
    EXPECT_EQ(RegDeleteTreeA(clsid, "{1234}"), kOk);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{1234}", 0, KEY_READ, &key), kNotFound);
    RegCloseKey(clsid);
    EXPECT_EQ(RegCloseKey(clsid), ERROR_INVALID_HANDLE);
}

TEST(Registry, ADamagedFileIsRefusedAndLeftAsItIs) {
    TempHome home;
    ASSERT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, "OSTREL.OstrelCtrl.1", REG_SZ, "Ostrel Control", 0),
              kOk);
    const std::string good = ReadFile(RegistryFile());
    for (const std::string& bad :
         {good.substr(0, good.size() / 2) + "\n[HKEY_CURRENT_USER\\Unterminated\n",
          std::string("not a registry\n"), good + "\"Orphan\"=\"x\n",
          good + "[HKEY_CURRENT_USER\\X]\n\"v\"=dword:12\n", good + "[-HKEY_CURRENT_USER\\X]\n",
          good + "[HKEY_CURRENT_USER\\X]\n\"v\"=hex:01,zz\n"}) {
        WriteFile(RegistryFile(), bad);
        try {
            Load();
            ADD_FAILURE() << bad;
        } catch (const RegistryError& e) {
            EXPECT_EQ(e.Code(), ERROR_BADDB);
            EXPECT_THAT(e.what(), ::testing::HasSubstr("damaged at line"));
        }
        EXPECT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, "Other", REG_SZ, "x", 0), ERROR_BADDB);
        EXPECT_EQ(ReadFile(RegistryFile()), bad) << "never overwritten";
    }
}

// Readers keep the parsed file while it stays the same, and see every change
// another process makes, whether it replaces the file or edits it in place.
TEST(Registry, AKeptParseNeverHidesAChange) {
    TempHome home;
    ASSERT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, "Kept", REG_SZ, "one", 0), kOk);
    const auto first = Snapshot();
    EXPECT_EQ(Snapshot(), first) << "an unchanged file is not parsed again";

    for (int round = 0; round < 20; ++round) {
        const std::string value = "value " + std::to_string(round);
        const pid_t child = fork();
        if (child == 0)
            _exit(RegSetValueA(HKEY_CLASSES_ROOT, "Kept", REG_SZ, value.c_str(), 0) == kOk ? 0 : 1);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_EQ(status, 0);
        EXPECT_EQ(QueryText(HKEY_CLASSES_ROOT, "Kept", nullptr), value);
    }

    std::string text = ReadFile(RegistryFile());
    const auto at = text.find("value 19");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, 8, "edited in place");
    WriteFile(RegistryFile(), text);
    EXPECT_EQ(QueryText(HKEY_CLASSES_ROOT, "Kept", nullptr), "edited in place");
}

TEST(Registry, ConcurrentWritersNeverLoseAnEntryOrTearTheFile) {
    TempHome home;
    constexpr int kWriters = 8, kEach = 15;
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            int failures = 0;
            for (int i = 0; i < kEach; ++i) {
                const std::string key =
                    "Writer" + std::to_string(w) + "\\Entry" + std::to_string(i);
                failures += RegSetValueA(HKEY_CLASSES_ROOT, key.c_str(), REG_SZ, "value", 0) != 0;
            }
            ::_exit(failures);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const Hive hive = Load();
    int entries = 0;
    for (const auto& [path, key] : hive.Keys())
        if (path.find("\\entry") != std::string::npos) ++entries;
    EXPECT_EQ(entries, kWriters * kEach);
}

// ---------------------------------------------------------------------------
// Who may write the registry, and what it may hold

std::string ErrorOf(const std::function<void()>& action, LONG* code = nullptr) {
    try {
        action();
    } catch (const RegistryError& e) {
        if (code != nullptr) *code = e.Code();
        return e.what();
    }
    return "<no error>";
}

mode_t ModeOf(const std::filesystem::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? mode_t(st.st_mode & 07777) : mode_t(-1);
}

// Whoever can write the registry chooses the module every host loads: a file
// or folder that others can write to, or that another user owns, is refused
// for reading and writing alike, with the fix in the message.
TEST(Registry, AFileOrFolderOthersCanWriteIsRefused) {
    TempHome home;
    const mode_t previous = ::umask(0);
    ::setenv("OSTREL_HOME", (home.Path() / "new" / "home").c_str(), 1);
    ASSERT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, "Kept", REG_SZ, "one", 0), kOk);
    ::umask(previous);
    EXPECT_EQ(ModeOf(home.Path() / "new" / "home"), 0700u);
    EXPECT_EQ(ModeOf(RegistryFile()), 0600u);

    const std::string before = ReadFile(RegistryFile());
    const std::string file = RegistryFile().string();
    const std::string folder = RegistryFile().parent_path().string();
    for (const mode_t mode : {0666u, 0620u, 0602u}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(::chmod(file.c_str(), mode), 0);
        LONG code = 0;
        const std::string why = ErrorOf([] { Load(); }, &code);
        EXPECT_EQ(code, kDenied);
        EXPECT_THAT(why, ::testing::HasSubstr(file));
        EXPECT_THAT(why, ::testing::HasSubstr("chmod 600 '" + file + "'"));
        EXPECT_EQ(QueryText(HKEY_CLASSES_ROOT, "Kept", nullptr), "<no key>");
        EXPECT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, "Other", REG_SZ, "x", 0), kDenied);
        EXPECT_EQ(ReadFile(RegistryFile()), before);
    }
    // Others reading it is no danger.
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    EXPECT_EQ(QueryText(HKEY_CLASSES_ROOT, "Kept", nullptr), "one");

    ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
    const std::string why = ErrorOf([] { Load(); });
    EXPECT_THAT(why, ::testing::HasSubstr("0777"));
    EXPECT_THAT(why, ::testing::HasSubstr("chmod 700 '" + folder + "'"));
    EXPECT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, "Other", REG_SZ, "x", 0), kDenied);
    EXPECT_THAT(ErrorOf([] { MakeRegistryFolder(); }), ::testing::HasSubstr("chmod 700"));
    ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
    EXPECT_EQ(QueryText(HKEY_CLASSES_ROOT, "Kept", nullptr), "one");

    if (::geteuid() != 0) return;  // only root can give a file away
    ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
    EXPECT_THAT(ErrorOf([] { Load(); }), ::testing::HasSubstr("another owner"));
    EXPECT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, "Other", REG_SZ, "x", 0), kDenied);
    ASSERT_EQ(::chown(file.c_str(), 0, 0), 0);
    ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
    EXPECT_THAT(ErrorOf([] { Load(); }), ::testing::HasSubstr("another owner"));
    ASSERT_EQ(::chown(folder.c_str(), 0, 0), 0);
}

std::string KeyOfDepth(std::size_t depth, const std::string& name = "k") {
    std::string path = "HKEY_CURRENT_USER";
    for (std::size_t i = 1; i < depth; ++i) path += "\\" + name;
    return path;
}

std::string RegistryText(const std::vector<std::string>& keys, const std::string& values = "") {
    std::string text = "Windows Registry Editor Version 5.00\n\n";
    for (const auto& key : keys) text += "[" + key + "]\n" + values + "\n";
    return text;
}

// The platform's limits hold for the file read: a deep key is refused as
// damage in time and memory in line with the file, never by running out of
// either (built one level at a time, the 40,000 levels of a 80 KB file
// would take gigabytes, and recursion would overflow the stack).
TEST(Registry, KeysBeyondThePlatformsLimitsAreRefusedAsDamaged) {
    TempHome home;
    const std::string deepest = KeyOfDepth(kMaxKeyDepth);
    const std::string longest = "HKEY_CURRENT_USER\\" + std::string(kMaxKeyNameLength, 'n');
    std::string wide = "HKEY_CURRENT_USER\\";  // 255 characters of two bytes each
    for (std::size_t i = 0; i < kMaxKeyNameLength; ++i) wide += "\xC3\xA9";
    const std::string valueName = std::string(kMaxValueNameLength, 'v');

    const Hive hive = Hive::Parse(
        RegistryText({deepest, longest, wide}, "\"" + valueName + "\"=\"x\"\n"), "test");
    EXPECT_EQ(hive.Keys().size(), kMaxKeyDepth + 1);  // with every parent; the roots are not kept
    ASSERT_NE(hive.Find(deepest), nullptr);
    EXPECT_EQ(hive.Find(deepest)->values.at(0).name, valueName);

    const std::vector<std::pair<std::string, std::string>> refused = {
        {RegistryText({KeyOfDepth(40000)}), "levels of keys"},
        {RegistryText({KeyOfDepth(kMaxKeyDepth + 1)}), "levels of keys"},
        {RegistryText({longest + "n"}), "longer than 255"},
        {RegistryText({wide + "\xC3\xA9"}), "longer than 255"},
        {RegistryText({longest}, "\"" + valueName + "v\"=\"x\"\n"), "longer than 16383"},
        // Few levels, but each parent a long name: the parents a file leaves
        // out would take far more than the file itself.
        {RegistryText({KeyOfDepth(400, std::string(250, 'p'))}), "missing parents"},
    };
    for (const auto& [text, why] : refused) {
        WriteFile(RegistryFile(), text);
        LONG code = 0;
        const std::string error = ErrorOf([] { Load(); }, &code);
        EXPECT_EQ(code, ERROR_BADDB) << why;
        EXPECT_THAT(error, ::testing::HasSubstr(why));
        EXPECT_THAT(error, ::testing::HasSubstr("damaged at line"));
    }
}

// Whatever a caller names, the file written is one the reader takes: a name
// the reader would refuse is refused on writing, and the registry stays usable.
TEST(Registry, TheWriterRefusesNamesTheReaderWouldRefuse) {
    TempHome home;
    ASSERT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, "Kept", REG_SZ, "one", 0), kOk);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Values", 0, nullptr, 0, KEY_WRITE,
                              nullptr, &key, nullptr),
              kOk);
    // Below HKEY_CURRENT_USER, which counts as the first level.
    const std::string tooDeep = KeyOfDepth(kMaxKeyDepth + 1).substr(sizeof "HKEY_CURRENT_USER");
    const std::string deepest = KeyOfDepth(kMaxKeyDepth).substr(sizeof "HKEY_CURRENT_USER");
    for (const std::string& bad :
         {std::string("Software\\a]b"), std::string("Software\\a\nb"), std::string("a\rb"),
          std::string(kMaxKeyNameLength + 1, 'n'), tooDeep}) {
        HKEY made = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, bad.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                                  &made, nullptr),
                  kInvalid);
        EXPECT_EQ(RegSetValueA(HKEY_CURRENT_USER, bad.c_str(), REG_SZ, "x", 0), kInvalid);
        EXPECT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, bad.c_str()), kInvalid);
    }
    const BYTE data[] = "x";
    for (const std::string& bad : {std::string("line\nbreak"), std::string("carriage\rreturn"),
                                   std::string(kMaxValueNameLength + 1, 'v')})
        EXPECT_EQ(RegSetValueExA(key, bad.c_str(), 0, REG_SZ, data, sizeof data), kInvalid);
    // Names the format can carry round-trip.
    for (const std::string& good :
         {std::string("quote\"d"), std::string("back\\slash\\"), std::string("x=hex:01,\\"),
          std::string("@"), std::string("[bracket"), std::string(kMaxValueNameLength, 'v')})
        EXPECT_EQ(RegSetValueExA(key, good.c_str(), 0, REG_SZ, data, sizeof data), kOk) << good;
    EXPECT_EQ(RegSetValueA(HKEY_CURRENT_USER, "Software\\[a b=c;d", REG_SZ, "x", 0), kOk);
    EXPECT_EQ(RegSetValueA(HKEY_CURRENT_USER, deepest.c_str(), REG_SZ, "x", 0), kOk);
    RegCloseKey(key);

    const Hive hive = Load();  // throws if any of it made the file unreadable
    EXPECT_EQ(QueryText(HKEY_CLASSES_ROOT, "Kept", nullptr), "one");
    EXPECT_EQ(QueryText(HKEY_CURRENT_USER, "Software\\Values", "x=hex:01,\\"), "x");
    EXPECT_EQ(QueryText(HKEY_CURRENT_USER, "Software\\Values", "quote\"d"), "x");
    EXPECT_EQ(QueryText(HKEY_CURRENT_USER, "Software\\[a b=c;d", nullptr), "x");
}

// The file is read only when it is a regular file: a FIFO in its place is
// damage, found without waiting for a writer that never comes.
TEST(Registry, AFifoInPlaceOfTheFileIsDamageNotAWait) {
    TempHome home;
    ASSERT_EQ(::mkfifo(RegistryFile().c_str(), 0600), 0);
    LONG code = 0;
    EXPECT_THAT(ErrorOf([] { Load(); }, &code), ::testing::HasSubstr("not a regular file"));
    EXPECT_EQ(code, ERROR_BADDB);
    EXPECT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, "Other", REG_SZ, "x", 0), ERROR_BADDB);
}

// A user who keeps the registry elsewhere and links to it keeps the link.
TEST(Registry, ALinkedFileStaysALinkAndItsTargetIsChanged) {
    TempHome home;
    const auto target = home.Path() / "elsewhere" / "mine.reg";
    ASSERT_EQ(::mkdir(target.parent_path().c_str(), 0700), 0);
    ASSERT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, "First", REG_SZ, "one", 0), kOk);
    std::filesystem::rename(RegistryFile(), target);
    std::filesystem::create_symlink(target, RegistryFile());

    ASSERT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, "Second", REG_SZ, "two", 0), kOk);
    EXPECT_TRUE(std::filesystem::is_symlink(RegistryFile()));
    EXPECT_THAT(ReadFile(target), ::testing::HasSubstr("\\Second]\n@=\"two\""));
    EXPECT_EQ(QueryText(HKEY_CLASSES_ROOT, "First", nullptr), "one");
    EXPECT_EQ(ModeOf(target), 0600u);

    // The target's folder counts as the registry's own.
    ASSERT_EQ(::chmod(target.parent_path().c_str(), 0777), 0);
    EXPECT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, "Third", REG_SZ, "x", 0), kDenied);
    ASSERT_EQ(::chmod(target.parent_path().c_str(), 0700), 0);
}

// Repair moves only a damaged file aside, keeping it whole beside an empty
// registry; a sound one, a missing one and one refused for its mode stay.
TEST(Registry, RepairMovesOnlyADamagedFileAside) {
    TempHome home;
    EXPECT_EQ(MoveDamagedFileAside(), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(RegistryFile()));

    ASSERT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, "Kept", REG_SZ, "one", 0), kOk);
    const std::string sound = ReadFile(RegistryFile());
    EXPECT_EQ(MoveDamagedFileAside(), std::nullopt);
    EXPECT_EQ(ReadFile(RegistryFile()), sound);

    const std::string damaged = sound + "[HKEY_CURRENT_USER\\X]\n\"v\"=\"unterminated\n";
    WriteFile(RegistryFile(), damaged);
    ASSERT_EQ(::chmod(RegistryFile().c_str(), 0666), 0);
    LONG code = 0;
    ErrorOf([] { MoveDamagedFileAside(); }, &code);
    EXPECT_EQ(code, kDenied);
    EXPECT_EQ(ReadFile(RegistryFile()), damaged);
    ASSERT_EQ(::chmod(RegistryFile().c_str(), 0600), 0);

    std::vector<std::filesystem::path> asides;
    for (int round = 0; round < 2; ++round) {
        WriteFile(RegistryFile(), damaged);
        const auto aside = MoveDamagedFileAside();
        ASSERT_TRUE(aside);
        asides.push_back(*aside);
        EXPECT_EQ(ReadFile(*aside), damaged);
        EXPECT_EQ(Load().Keys().size(), 0u);
        EXPECT_EQ(ModeOf(RegistryFile()), 0600u);
    }
    EXPECT_THAT(asides[0].string(),
                ::testing::MatchesRegex(".*/registry\\.reg\\.damaged-[0-9]{8}T[0-9]{6}Z"));
    EXPECT_NE(asides[0], asides[1]) << "a second repair never overwrites the first one's file";

    // Through a link, the file it names is moved aside and the link kept.
    const auto target = home.Path() / "elsewhere" / "mine.reg";
    ASSERT_EQ(::mkdir(target.parent_path().c_str(), 0700), 0);
    WriteFile(target, damaged);
    std::filesystem::remove(RegistryFile());
    std::filesystem::create_symlink(target, RegistryFile());
    const auto aside = MoveDamagedFileAside();
    ASSERT_TRUE(aside);
    EXPECT_EQ(aside->parent_path(), target.parent_path());
    EXPECT_EQ(ReadFile(*aside), damaged);
    EXPECT_TRUE(std::filesystem::is_symlink(RegistryFile()));
    ASSERT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, "New", REG_SZ, "x", 0), kOk);
    EXPECT_THAT(ReadFile(target), ::testing::HasSubstr("\\New]"));
}

// Type libraries are registered for every process, each running in its own
// folder: only a full path names the same file for all of them.
TEST(Registry, TypeLibrariesAreRegisteredAndFoundByFullPathsOnly) {
    TempHome home;
    constexpr GUID kLib = platform::com::MakeGuid("{5D1B7C9E-0A4B-4E57-9C1D-2B3A4C5D6E7F}");
    platform::com::TypeLibRegistration entry;
    entry.libid = kLib;
    entry.wMajorVerNum = 1;
    entry.path = "relative/lib.tlb";
    EXPECT_EQ(platform::com::RegistryTypeLibRegistrations().Add(entry), HRESULT(E_INVALIDARG));

    // One written by another tool is refused by name when it is looked up.
    const std::string key = "TypeLib\\" + platform::com::GuidToString(kLib) + "\\1.0\\0\\win32";
    ASSERT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, key.c_str(), REG_SZ, "relative/lib.tlb", 0), kOk);
    platform::com::TypeLibRegistration found;
    EXPECT_EQ(platform::com::FindRegisteredTypeLib(kLib, 1, 0, 0, found), TYPE_E_CANTLOADLIBRARY);
    EXPECT_THAT(platform::com::LastTypeLibLookupError(),
                ::testing::HasSubstr("relative path relative/lib.tlb"));
    platform::com::ComPtr<ITypeLib> lib;
    EXPECT_EQ(LoadRegTypeLib(kLib, 1, 0, 0, lib.Put()), TYPE_E_CANTLOADLIBRARY);

    entry.path = "/opt/lib.tlb";
    EXPECT_EQ(platform::com::RegistryTypeLibRegistrations().Add(entry), S_OK);
    EXPECT_EQ(platform::com::FindRegisteredTypeLib(kLib, 1, 0, 0, found), S_OK);
    EXPECT_EQ(found.path, "/opt/lib.tlb");
    EXPECT_EQ(platform::com::LastTypeLibLookupError(), "");
}

}  // namespace
