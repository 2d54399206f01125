// Activation when the module file lets it down: files the loader refuses, a
// shared object that is no server, and a server that refuses its classes.
// Each failure comes back as its code with the module file named, and no
// module stays loaded once activation has given up on it (or, for a server
// that did load, once CoFreeUnusedLibraries finds it unused).

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "platform/com/Activation.h"
#include "platform/com/Registry.h"
#include "tests/platform/com/modules/LoaderModules.h"
#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using namespace ostrel::test::loader;
using ostrel::test::TempHome;
using platform::com::GuidToString;
using platform::com::LastActivationError;
using platform::com::LoadedServerModules;
using ::testing::HasSubstr;

const HRESULT kCannotLoad = HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT);

// A module file of the test's own, where nobody else can change it: the
// build folder's modes depend on the umask of whoever built it.
fs::path ModulesFolder(const TempHome& home) {
    const fs::path folder = home.Path() / "modules";
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::owner_all);
    return fs::canonical(folder);
}
fs::path Install(const TempHome& home, const fs::path& built) {
    const fs::path file = ModulesFolder(home) / built.filename();
    fs::copy_file(built, file, fs::copy_options::overwrite_existing);
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_exec);
    return file;
}
fs::path WriteModule(const TempHome& home, const std::string& name, const std::string& bytes) {
    const fs::path file = ModulesFolder(home) / name;
    ostrel::test::WriteFile(file, bytes);
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
    return file;
}

void Register(const CLSID& clsid, const fs::path& module, const std::string& progId = {}) {
    const std::string classKey = "CLSID\\" + GuidToString(clsid);
    ASSERT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, (classKey + "\\InprocServer32").c_str(), REG_SZ,
                           module.c_str(), 0),
              LSTATUS(ERROR_SUCCESS));
    if (!progId.empty()) {
        ASSERT_EQ(RegSetValueA(HKEY_CLASSES_ROOT, (progId + "\\CLSID").c_str(), REG_SZ,
                               GuidToString(clsid).c_str(), 0),
                  LSTATUS(ERROR_SUCCESS));
    }
}

// Whether any part of the file is mapped into this process.
bool Mapped(const fs::path& file) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line))
        if (line.ends_with(" " + file.string())) return true;
    return false;
}

// Whether the dynamic loader still holds the file as a loaded object.
bool HeldByTheLoader(const fs::path& file) {
    void* handle = ::dlopen(file.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (handle != nullptr) ::dlclose(handle);
    return handle != nullptr;
}

void ExpectNothingLoaded(const fs::path& module) {
    EXPECT_EQ(LoadedServerModules(), 0u);
    EXPECT_FALSE(Mapped(module)) << module;
    EXPECT_FALSE(HeldByTheLoader(module)) << module;
}

HRESULT Create(const CLSID& clsid, IUnknown*& object) {
    object = reinterpret_cast<IUnknown*>(1);
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                            reinterpret_cast<void**>(&object));
}
HRESULT ClassObject(const CLSID& clsid, IClassFactory*& factory) {
    factory = reinterpret_cast<IClassFactory*>(1);
    return CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                            reinterpret_cast<void**>(&factory));
}

TEST(LoaderFailure, FilesTheLoaderRefusesAreNamedWithItsReasonAndLeaveNothingLoaded) {
    TempHome home;
    const std::string sound = ostrel::test::ReadFile(OSTREL_REFUSING_MODULE);
    ASSERT_GT(sound.size(), 4160u);
    struct Case {
        std::string name;
        std::function<fs::path()> make;
        std::string words;   // after "the module file <path> "
        std::string reason;  // the loader's own words
    };
    const std::string loader = "cannot be loaded: ";
    const std::vector<Case> cases = {
        {"text", [&] { return WriteModule(home, "text.so", std::string(100, '#') + "\n"); }, loader,
         "invalid ELF header"},
        {"empty", [&] { return WriteModule(home, "empty.so", ""); }, loader, "file too short"},
        // Cut short after its headers, a module would be mapped past the end
        // of its file, and the first touch of that ended the process.
        {"cut in its headers",
         [&] { return WriteModule(home, "cut-early.so", sound.substr(0, 1024)); },
         "is cut short: it has 1024 bytes where its headers need "},
        {"cut in its code", [&] { return WriteModule(home, "cut-late.so", sound.substr(0, 4160)); },
         "is cut short: it has 4160 bytes where its headers need "},
        // Bound lazily, this one would end the process at its first call.
        {"unresolved", [&] { return Install(home, OSTREL_UNRESOLVED_MODULE); }, loader,
         "undefined symbol: OstrelLoaderTestDependency"},
        {"missing dependency", [&] { return Install(home, OSTREL_MISSING_DEPENDENCY_MODULE); },
         loader, "loader_dependency.so: cannot open shared object file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path module = c.make();
        Register(kUnservedClass, module, "OstrelLoaderTest.Refused");
        CLSID clsid{};
        ASSERT_EQ(CLSIDFromProgID(u"OstrelLoaderTest.Refused", &clsid), S_OK);
        EXPECT_EQ(clsid, kUnservedClass);

        IUnknown* object = nullptr;
        EXPECT_EQ(Create(clsid, object), kCannotLoad);
        EXPECT_EQ(object, nullptr);
        const std::string why = LastActivationError();
        EXPECT_THAT(why, HasSubstr("the module file " + module.string() + " " + c.words));
        EXPECT_THAT(why, HasSubstr(c.reason));
        ExpectNothingLoaded(module);

        // A refusal is not remembered as a module: asking again asks the
        // loader again, with the same answer.
        IClassFactory* factory = nullptr;
        EXPECT_EQ(ClassObject(clsid, factory), kCannotLoad);
        EXPECT_EQ(factory, nullptr);
        EXPECT_EQ(LastActivationError(), why);
        ExpectNothingLoaded(module);
    }
}

TEST(LoaderFailure, ASharedObjectWithoutDllGetClassObjectIsUnloadedAtOnce) {
    TempHome home;
    const fs::path module = Install(home, OSTREL_NO_ENTRY_MODULE);
    Register(kUnservedClass, module);
    const std::string why = "the module file " + module.string() + " has no DllGetClassObject";

    IUnknown* object = nullptr;
    EXPECT_EQ(Create(kUnservedClass, object), CO_E_ERRORINDLL);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(LastActivationError(), why);
    ExpectNothingLoaded(module);

    // Hosts that load a module of their own meet the same answer.
    IClassFactory* factory = reinterpret_cast<IClassFactory*>(1);
    EXPECT_EQ(platform::com::GetClassObjectFromModule(module, kUnservedClass, IID_IClassFactory,
                                                      reinterpret_cast<void**>(&factory)),
              CO_E_ERRORINDLL);
    EXPECT_EQ(factory, nullptr);
    EXPECT_EQ(LastActivationError(), why);
    ExpectNothingLoaded(module);
}

// The server loads; its answers are passed on with the module file and the
// class named. It stays loaded, as every server does, until
// CoFreeUnusedLibraries finds it unused: which it is only when every class
// object it handed out has been released.
TEST(LoaderFailure, AServerThatRefusesItsClassesIsReportedAndUnloadedWhenUnused) {
    TempHome home;
    const fs::path module = Install(home, OSTREL_REFUSING_MODULE);
    const std::string file = "the module file " + module.string();
    Register(kUnservedClass, module, "OstrelLoaderTest.Unserved");
    Register(kFailingFactoryClass, module, "OstrelLoaderTest.FailingFactory");
    Register(kEmptyAnswerClass, module, "OstrelLoaderTest.EmptyAnswer");

    CLSID clsid{};
    IUnknown* object = nullptr;
    IClassFactory* factory = nullptr;
    ASSERT_EQ(CLSIDFromProgID(u"OstrelLoaderTest.Unserved", &clsid), S_OK);
    EXPECT_EQ(Create(clsid, object), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(LastActivationError(),
              file + " gave no class object for the class " + GuidToString(kUnservedClass));
    EXPECT_EQ(ClassObject(clsid, factory), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(factory, nullptr);

    ASSERT_EQ(CLSIDFromProgID(u"OstrelLoaderTest.FailingFactory", &clsid), S_OK);
    EXPECT_EQ(Create(clsid, object), kCreateFailure);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(LastActivationError(), "the class object of the class " +
                                         GuidToString(kFailingFactoryClass) + " from " + file +
                                         " made no instance");

    // Success without a class object is the module's fault, and no host
    // should be left calling through a null pointer.
    ASSERT_EQ(CLSIDFromProgID(u"OstrelLoaderTest.EmptyAnswer", &clsid), S_OK);
    EXPECT_EQ(Create(clsid, object), CO_E_ERRORINDLL);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(LastActivationError(), file + " answered DllGetClassObject with success but no " +
                                         "class object for the class " +
                                         GuidToString(kEmptyAnswerClass));
    EXPECT_EQ(ClassObject(clsid, factory), CO_E_ERRORINDLL);
    EXPECT_EQ(factory, nullptr);

    EXPECT_EQ(LoadedServerModules(), 1u);
    EXPECT_TRUE(Mapped(module));

    // A class object still held keeps the module; the failed creation above
    // released the one it used.
    ASSERT_EQ(ClassObject(kFailingFactoryClass, factory), S_OK);
    ASSERT_NE(factory, nullptr);
    CoFreeUnusedLibraries();
    EXPECT_EQ(LoadedServerModules(), 1u);
    EXPECT_TRUE(Mapped(module));
    factory->Release();
    CoFreeUnusedLibraries();
    ExpectNothingLoaded(module);
}

}  // namespace
