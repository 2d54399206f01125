// Resource directories, version blocks, module files read without loading
// them, and type-library registrations kept in the per-user registry.

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/com/Registry.h"
#include "platform/com/Resource.h"
#include "platform/com/TypeLibFormat.h"
#include "platform/com/TypeLibRegistry.h"
#include "platform/com/Utf.h"
#include "platform/com/VersionInfo.h"
#include "tests/platform/com/SampleTypeLib.h"
#include "tests/support/TestSupport.h"

namespace {

using platform::com::ResourceEntry;

TEST(ResourceDirectory, ReadsBackWhatWasBuiltAndRefusesDamage) {
    const std::vector<BYTE> text = {'h', 'i', 0};
    const std::vector<BYTE> odd = {1, 2, 3, 4, 5};
    std::vector<ResourceEntry> entries(2);
    entries[0].type = "#6";
    entries[0].id = 1;
    entries[0].data = text;
    entries[1].type = "TYPELIB";
    entries[1].id = 1;
    entries[1].lang = 0x0407;
    entries[1].data = odd;
    const auto bytes = platform::com::BuildResourceDirectory(entries);
    const auto back = platform::com::ParseResourceDirectory(bytes);
    ASSERT_TRUE(back);
    ASSERT_EQ(back->size(), 2u);
    EXPECT_EQ((*back)[1].type, "TYPELIB");
    EXPECT_EQ((*back)[1].lang, 0x0407);
    EXPECT_TRUE(std::equal(odd.begin(), odd.end(), (*back)[1].data.begin(), (*back)[1].data.end()));

    // Every cut of the bytes is either refused or stays inside them.
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        const auto cut = platform::com::ParseResourceDirectory(std::span(bytes.data(), n));
        if (!cut) continue;
        for (const auto& e : *cut) {
            EXPECT_LE(e.data.data() + e.data.size(), bytes.data() + n);
        }
    }
    auto huge = bytes;
    huge[8] = 0xFF;  // a count far beyond the bytes
    huge[9] = 0xFF;
    EXPECT_FALSE(platform::com::ParseResourceDirectory(huge));
    auto badMagic = bytes;
    badMagic[0] = 'X';
    EXPECT_FALSE(platform::com::ParseResourceDirectory(badMagic));
}

TEST(VersionBlock, ReadsBackInOrderAndRefusesDamage) {
    platform::com::VersionInfo info;
    info.fixed.dwSignature = VS_FFI_SIGNATURE;
    info.fixed.dwFileVersionMS = 0x00010001;
    info.fixed.dwFileType = VFT_DLL;
    info.tableName = "040904b0";
    info.strings = {{"Comments", "é and ü"}, {"Empty", ""}, {"Zed", "last"}};
    info.translations = {{0x0409, 0x04B0}};
    const auto bytes = platform::com::BuildVersionInfo(info);
    EXPECT_EQ(bytes.size() % 4, 0u);
    const auto back = platform::com::ParseVersionInfo(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->fixed.dwFileVersionMS, 0x00010001u);
    EXPECT_EQ(back->tableName, "040904b0");
    EXPECT_EQ(back->strings, info.strings);
    EXPECT_EQ(back->translations, info.translations);

    for (std::size_t n = 0; n < bytes.size(); n += 7)
        EXPECT_FALSE(platform::com::ParseVersionInfo(std::span(bytes.data(), n))) << n;
    auto badSignature = bytes;
    badSignature[40] ^= 0xFF;  // inside the fixed part's signature
    EXPECT_FALSE(platform::com::ParseVersionInfo(badSignature));
}

TEST(ModuleFileReader, RefusesWhatIsNotASoundModule) {
    ostrel::test::TempHome home;
    platform::com::ModuleFileInfo info;
    std::string why;
    EXPECT_EQ(platform::com::ReadModuleFile((home.Path() / "none").string(), info, &why),
              HRESULT(0x80070000 | ERROR_FILE_NOT_FOUND));
    EXPECT_NE(why.find("none"), std::string::npos);

    ostrel::test::WriteFile(home.Path() / "text", "not a module at all");
    EXPECT_EQ(platform::com::ReadModuleFile((home.Path() / "text").string(), info, &why),
              HRESULT(0x80070000 | ERROR_BAD_EXE_FORMAT));
    EXPECT_EQ(platform::com::ReadModuleFile(home.Path().string(), info),
              HRESULT(0x80070000 | ERROR_BAD_EXE_FORMAT));

    // This program, cut short: its section headers lie past the end.
    const std::string self = ostrel::test::ReadFile("/proc/self/exe");
    for (std::size_t n : {std::size_t(4), std::size_t(64), self.size() / 2, self.size() - 1}) {
        ostrel::test::WriteFile(home.Path() / "cut", self.substr(0, n));
        EXPECT_EQ(platform::com::ReadModuleFile((home.Path() / "cut").string(), info),
                  HRESULT(0x80070000 | ERROR_BAD_EXE_FORMAT))
            << n;
        EXPECT_FALSE(platform::com::ReadFileResource((home.Path() / "cut").string(), "TYPELIB", 1));
    }
    // Whole, it reads; it carries no resource section.
    ASSERT_EQ(platform::com::ReadModuleFile("/proc/self/exe", info), S_OK);
    EXPECT_TRUE(info.resources.empty());
    EXPECT_EQ(
        FindResourceA(platform::com::ModuleOfAddress(reinterpret_cast<const void*>(&FindResourceA)),
                      MAKEINTRESOURCEA(1), RT_STRING),
        nullptr);
}

std::optional<std::string> ClassesValue(const std::string& subkey) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, subkey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::nullopt;
    char buf[512];
    DWORD size = sizeof buf, type = 0;
    const LSTATUS status =
        RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return std::nullopt;
    return std::string(buf, size > 0 ? size - 1 : 0);
}

TEST(TypeLibRegistryFile, KeepsRegistrationsInTheRegistryForEveryProcess) {
    ostrel::test::TempHome home;
    const auto path = home.Path() / "sample.tlb";
    const auto image = platform::com::typelib::Write(ostrel::test::SampleLibrary());
    ostrel::test::WriteFile(path, std::string(image.begin(), image.end()));
    const std::u16string wide = platform::com::Utf8ToUtf16(path.string());
    platform::com::ComPtr<ITypeLib> lib;
    ASSERT_EQ(LoadTypeLib(wide.c_str(), lib.Put()), S_OK);
    ASSERT_EQ(RegisterTypeLib(lib.Get(), wide.c_str(), u"/help"), S_OK);

    const std::string version =
        "TypeLib\\" + platform::com::GuidToString(ostrel::test::kSampleLibId) + "\\2.3";
    EXPECT_EQ(ClassesValue(version), "Sample library");
    EXPECT_EQ(ClassesValue(version + "\\FLAGS"), "4");
    EXPECT_EQ(ClassesValue(version + "\\HELPDIR"), "/help");
    EXPECT_EQ(ClassesValue(version + "\\409\\win32"), path.string());

    // Another version stays when one goes.
    platform::com::TypeLibRegistration other;
    other.libid = ostrel::test::kSampleLibId;
    other.wMajorVerNum = 2;
    other.wMinorVerNum = 0;
    other.lcid = 0;
    other.path = path.string();
    ASSERT_EQ(platform::com::RegistryTypeLibRegistrations().Add(other), S_OK);
    EXPECT_EQ(platform::com::RegistryTypeLibRegistrations().Find(ostrel::test::kSampleLibId).size(),
              2u);
    EXPECT_EQ(UnRegisterTypeLib(ostrel::test::kSampleLibId, 2, 3, 0x0409, SYS_WIN32), S_OK);
    EXPECT_FALSE(ClassesValue(version));
    const auto left =
        platform::com::RegistryTypeLibRegistrations().Find(ostrel::test::kSampleLibId);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].wMinorVerNum, 0);
    // A request for the newer version no longer finds one.
    EXPECT_EQ(LoadRegTypeLib(ostrel::test::kSampleLibId, 2, 3, 0x0409, lib.Put()),
              TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(LoadRegTypeLib(ostrel::test::kSampleLibId, 2, 0, 0x0409, lib.Put()), S_OK);
    EXPECT_EQ(UnRegisterTypeLib(ostrel::test::kSampleLibId, 2, 0, 0, SYS_WIN32), S_OK);
    EXPECT_FALSE(
        ClassesValue("TypeLib\\" + platform::com::GuidToString(ostrel::test::kSampleLibId)));

    // A damaged registry registers nothing and is left as it is.
    ostrel::test::WriteFile(platform::com::registry::RegistryFile(), "not a registry\n");
    EXPECT_TRUE(
        platform::com::RegistryTypeLibRegistrations().Find(ostrel::test::kSampleLibId).empty());
    EXPECT_EQ(RegisterTypeLib(lib.Get(), wide.c_str(), nullptr), TYPE_E_REGISTRYACCESS);
    EXPECT_EQ(ostrel::test::ReadFile(platform::com::registry::RegistryFile()), "not a registry\n");
}

}  // namespace
