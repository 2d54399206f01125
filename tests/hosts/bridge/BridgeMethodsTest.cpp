// The host's list of the methods pages may call is the one list: the page's
// library checks the arguments of the same methods, and the extension knows
// which of them wait for the user, from blocks written from that list. When
// this test fails, the scripts were changed by hand or the list was changed
// without them: run it again with OSTREL_WRITE_METHODS=1 to write the blocks
// from the list, and review the change to the scripts.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "hosts/bridge/Protocol.h"
#include "tests/support/TestSupport.h"

namespace ostrel::bridge {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kBegin = "// BEGIN methods";
constexpr std::string_view kEnd = "// END methods\n";

// The checker of an argument's kind in ostrel.js.
std::string_view Checker(ArgKind kind) {
    switch (kind) {
        case ArgKind::Text:
            return "text";
        case ArgKind::Long:
            return "long";
        case ArgKind::Options:
            return "options";
    }
    return "?";
}

// ostrel.js: each method with the checks of its arguments; a name with a dot
// (the signer's methods) quoted.
std::string PageBlock() {
    std::string out = "const methods = {\n";
    for (const MethodInfo& method : Methods()) {
        const std::string name(method.name);
        out += "  " + (name.find('.') == std::string::npos ? name : "\"" + name + "\"") + ": [";
        for (std::size_t i = 0; i < method.args.size(); ++i)
            out += std::string(i > 0 ? ", " : "") + std::string(Checker(method.args[i]));
        out += "],\n";
    }
    return out + "};\n";
}

// background.js: the methods that never show a dialog, which are given the
// shorter time to answer.
std::string ExtensionBlock() {
    std::string out = "const QUICK = new Set([\n";
    for (const MethodInfo& method : Methods())
        if (method.question == Question::None && method.chooser == Chooser::Never)
            out += "  \"" + std::string(method.name) + "\",\n";
    return out + "]);\n";
}

fs::path Source() {
    const char* source = std::getenv("OSTREL_SOURCE");
    return source != nullptr ? fs::path(source) : fs::path();
}

// Holds the block of `file` to `expected`, or writes it there when asked.
void Check(const fs::path& file, const std::string& expected) {
    SCOPED_TRACE(file.string());
    std::string text = test::ReadFile(file);
    const std::size_t begin = text.find(kBegin);
    ASSERT_NE(begin, std::string::npos) << "no \"" << kBegin << "\" line";
    const std::size_t from = text.find('\n', begin) + 1;
    const std::size_t to = text.find(kEnd, from);
    ASSERT_NE(to, std::string::npos) << "no \"" << kEnd.substr(0, kEnd.size() - 1) << "\" line";
    ASSERT_EQ(text.find(kBegin, to), std::string::npos) << "a second block";
    if (text.compare(from, to - from, expected) == 0) return;
    if (const char* write = std::getenv("OSTREL_WRITE_METHODS"); write && *write == '1') {
        text.replace(from, to - from, expected);
        test::WriteFile(file, text);
        return;
    }
    ADD_FAILURE() << "the block differs from the host's list; it should read\n"
                  << expected << "(OSTREL_WRITE_METHODS=1 writes it)";
}

TEST(BridgeMethods, ThePageAndTheExtensionHoldTheHostsList) {
    ASSERT_FALSE(Source().empty()) << "OSTREL_SOURCE names the source tree";
    Check(Source() / "hosts/bridge/page/ostrel.js", PageBlock());
    Check(Source() / "hosts/bridge/extension/background.js", ExtensionBlock());
}

TEST(BridgeMethods, EachNameIsListedOnceAndFoundExactly) {
    for (const MethodInfo& method : Methods()) {
        EXPECT_EQ(FindMethod(method.name), &method) << method.name;
        // Only names a script may write unquoted as they stand, or the
        // signer's: "Signer." and such a name, the one it has on the object.
        std::string_view name = method.name;
        if (method.target == Target::Signer) {
            ASSERT_TRUE(name.starts_with("Signer.")) << name;
            name.remove_prefix(7);
        }
        EXPECT_EQ(name, method.member);
        EXPECT_EQ(std::string(name).find_first_not_of(
                      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
                  std::string::npos)
            << method.name;
        // The session reads the position as the argument after the text.
        if (method.chooser == Chooser::WithoutPosition) {
            EXPECT_EQ(method.args, (std::vector{ArgKind::Text, ArgKind::Long})) << method.name;
        }
        // ... and the options as the last, after the text it signs.
        if (method.question == Question::ByOptions || method.chooser == Chooser::ByOptions) {
            EXPECT_EQ(method.args, (std::vector{ArgKind::Text, ArgKind::Options})) << method.name;
        }
    }
    EXPECT_EQ(FindMethod("signmessage"), nullptr);
    EXPECT_EQ(FindMethod("hello"), nullptr);
}

}  // namespace
}  // namespace ostrel::bridge
