#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/com/Registry.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace ostrel::test;
using namespace platform::com::registry;

constexpr LSTATUS kOk = 0;
constexpr LSTATUS kNotFound = 2;

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

}  // namespace
