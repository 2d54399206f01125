// Resource directories, version blocks, module files read without loading
// them, and type-library registrations kept in the per-user registry.

#include <elf.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>

#include "platform/com/Registry.h"
#include "platform/com/Resource.h"
#include "platform/com/TypeLibFormat.h"
#include "platform/com/TypeLibRegistry.h"
#include "platform/com/VersionInfo.h"
#include "platform/text/Utf.h"
#include "tests/platform/com/SampleTypeLib.h"
#include "tests/support/TestSupport.h"

namespace {

using platform::com::ResourceEntry;
using namespace std::string_literals;

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

TEST(ResourceDirectory, RefusesEntriesThatShareTheirData) {
    // One block of data, and many entries that all claim it: every reader
    // of the directory would go over it once per entry.
    const std::vector<BYTE> block(1000, 0x5A);
    std::vector<ResourceEntry> entries(10);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        entries[i].type = "#16";
        entries[i].id = 1;
        entries[i].lang = WORD(i);
    }
    entries[0].data = block;
    auto bytes = platform::com::BuildResourceDirectory(entries);
    ASSERT_TRUE(platform::com::ParseResourceDirectory(bytes));
    constexpr std::size_t kTable = 12, kEntry = 32, kOffset = 24, kSize = 28;
    for (std::size_t i = 1; i < entries.size(); ++i) {
        std::memcpy(&bytes[kTable + i * kEntry + kOffset], &bytes[kTable + kOffset], 4);
        std::memcpy(&bytes[kTable + i * kEntry + kSize], &bytes[kTable + kSize], 4);
    }
    EXPECT_FALSE(platform::com::ParseResourceDirectory(bytes));
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

// A small module file made by hand: a dynamic string table, a dynamic
// symbol table with one exported function per entry of `names` (each naming
// the string at that offset), and `symbolHeaders` section headers that all
// describe that one table, as a crafted file may.
std::string CraftedModule(const std::string& strings, const std::vector<std::uint32_t>& names,
                          int symbolHeaders, int resourceHeaders = 0) {
    const std::string shstrtab =
        "\0.dynsym\0.dynstr\0.shstrtab\0"s + platform::com::kResourceSection + "\0"s;
    std::string file(sizeof(Elf64_Ehdr), '\0');
    const auto append = [&](const std::string& bytes) {
        file.resize((file.size() + 7) & ~std::size_t(7));
        const std::size_t at = file.size();
        file += bytes;
        return at;
    };
    const std::size_t dynstrAt = append(strings);
    std::string symbols(sizeof(Elf64_Sym), '\0');  // the null symbol
    for (std::uint32_t name : names) {
        Elf64_Sym sym{};
        sym.st_name = name;
        sym.st_info = ELF64_ST_INFO(STB_GLOBAL, STT_FUNC);
        sym.st_shndx = 1;
        symbols.append(reinterpret_cast<const char*>(&sym), sizeof sym);
    }
    const std::size_t dynsymAt = append(symbols);
    const std::vector<BYTE> directory = platform::com::BuildResourceDirectory({});
    const std::size_t resourcesAt = append(std::string(directory.begin(), directory.end()));
    const std::size_t shstrtabAt = append(shstrtab);

    std::vector<Elf64_Shdr> sections(3);
    sections[1].sh_name = 9;  // .dynstr
    sections[1].sh_type = SHT_STRTAB;
    sections[1].sh_offset = dynstrAt;
    sections[1].sh_size = strings.size();
    sections[2].sh_name = 17;  // .shstrtab
    sections[2].sh_type = SHT_STRTAB;
    sections[2].sh_offset = shstrtabAt;
    sections[2].sh_size = shstrtab.size();
    Elf64_Shdr dynsym{};
    dynsym.sh_name = 1;
    dynsym.sh_type = SHT_DYNSYM;
    dynsym.sh_offset = dynsymAt;
    dynsym.sh_size = symbols.size();
    dynsym.sh_link = 1;
    dynsym.sh_entsize = sizeof(Elf64_Sym);
    sections.insert(sections.end(), std::size_t(symbolHeaders), dynsym);
    Elf64_Shdr resources{};
    resources.sh_name = 27;
    resources.sh_type = SHT_PROGBITS;
    resources.sh_offset = resourcesAt;
    resources.sh_size = directory.size();
    sections.insert(sections.end(), std::size_t(resourceHeaders), resources);

    Elf64_Ehdr eh{};
    std::memcpy(eh.e_ident, ELFMAG, SELFMAG);
    eh.e_ident[EI_CLASS] = ELFCLASS64;
    eh.e_ident[EI_DATA] = ELFDATA2LSB;
    eh.e_ident[EI_VERSION] = EV_CURRENT;
    eh.e_type = ET_DYN;
    eh.e_machine = EM_X86_64;
    eh.e_version = EV_CURRENT;
    eh.e_ehsize = sizeof eh;
    eh.e_shentsize = sizeof(Elf64_Shdr);
    eh.e_shnum = Elf64_Half(sections.size());
    eh.e_shstrndx = 2;
    eh.e_shoff = append(std::string(reinterpret_cast<const char*>(sections.data()),
                                    sections.size() * sizeof(Elf64_Shdr)));
    std::memcpy(file.data(), &eh, sizeof eh);
    return file;
}

TEST(ModuleFileReader, ReadsEachPartOnceAndRefusesHeadersThatRepeatThem) {
    ostrel::test::TempHome home;
    const auto path = (home.Path() / "crafted.so").string();
    const std::string strings = "\0DllGetClassObject\0DllCanUnloadNow\0"s;
    platform::com::ModuleFileInfo info;
    std::string why;

    // Sound: one table, one resource section.
    ostrel::test::WriteFile(path, CraftedModule(strings, {1, 19}, 1, 1));
    ASSERT_EQ(platform::com::ReadModuleFile(path, info, &why), S_OK) << why;
    EXPECT_EQ(info.exports, (std::vector<std::string>{"DllCanUnloadNow", "DllGetClassObject"}));
    EXPECT_FALSE(info.resources.empty());

    // Thousands of headers over the one table would read it thousands of
    // times and hand out every symbol as often.
    ostrel::test::WriteFile(path, CraftedModule(strings, {1, 19}, 4000));
    info.exports.assign(1, "left from before");
    EXPECT_EQ(platform::com::ReadModuleFile(path, info, &why),
              HRESULT(0x80070000 | ERROR_BAD_EXE_FORMAT));
    EXPECT_NE(why.find("more than one dynamic symbol table"), std::string::npos) << why;
    EXPECT_LE(info.exports.size(), 2u);

    ostrel::test::WriteFile(path, CraftedModule(strings, {1}, 1, 2));
    EXPECT_EQ(platform::com::ReadModuleFile(path, info, &why),
              HRESULT(0x80070000 | ERROR_BAD_EXE_FORMAT));
    EXPECT_NE(why.find("more than one resource section"), std::string::npos) << why;

    // Many symbols naming one long text: the names handed out would be far
    // larger than the file.
    const std::string longName = "\0"s + std::string(65536, 'x') + "\0"s;
    ostrel::test::WriteFile(path, CraftedModule(longName, std::vector<std::uint32_t>(2000, 1), 1));
    EXPECT_EQ(platform::com::ReadModuleFile(path, info, &why),
              HRESULT(0x80070000 | ERROR_BAD_EXE_FORMAT));
    EXPECT_NE(why.find("larger than the file"), std::string::npos) << why;
    EXPECT_LE(info.exports.size(), 2u);
}

TEST(ModuleFileReader, RefusesAFifoWithoutWaitingForAWriter) {
    ostrel::test::TempHome home;
    const auto fifo = home.Path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto reading = std::async(std::launch::async, [&] {
        platform::com::ModuleFileInfo info;
        std::string why;
        const HRESULT hr = platform::com::ReadModuleFile(fifo.string(), info, &why);
        return std::make_pair(hr, platform::com::IsModuleFile(fifo.string()));
    });
    // Not a measure of speed: a reader stuck in open() would wait forever, so
    // after a long while a writer comes to set it free and the test fails.
    if (reading.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ADD_FAILURE() << "reading a FIFO waits for a writer";
        for (int i = 0; i < 2; ++i) {
            const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) ::close(fd);
            reading.wait_for(std::chrono::seconds(5));
        }
    }
    const auto [hr, isModule] = reading.get();
    EXPECT_EQ(hr, HRESULT(0x80070000 | ERROR_BAD_EXE_FORMAT));
    EXPECT_FALSE(isModule);
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
