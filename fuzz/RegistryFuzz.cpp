// The per-user registry file as a hand-edited or damaged file may hold it:
// the text is parsed as the registry reads its file. A text the parser takes
// must come back out of Format as a text that it takes again, unchanged:
// otherwise the next change the registry writes would leave a file that every
// later reader refuses.

#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "platform/com/Registry.h"

using ostrel::fuzz::Check;
namespace reg = platform::com::registry;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    reg::Hive hive;
    try {
        hive = reg::Hive::Parse(ostrel::fuzz::Text(data, size), "fuzz.reg");
    } catch (const reg::RegistryError& e) {
        Check(e.Code() != ERROR_SUCCESS, "a refusal carries an error code");
        return 0;
    }
    const std::string text = hive.Format();
    reg::Hive again;
    try {
        again = reg::Hive::Parse(text, "formatted.reg");
    } catch (const reg::RegistryError& e) {
        Check(false, "the registry reads back what it writes");
    }
    Check(again.Format() == text, "formatting what was read back changes nothing");
    Check(again.Keys().size() == hive.Keys().size(), "every key comes back");

    // The lookups hosts make on what was read.
    std::size_t looked = 0;
    for (const auto& [folded, key] : hive.Keys()) {
        if (++looked > 64) break;
        Check(again.Find(key.path) != nullptr, "a key is found by the path it was written with");
        for (const std::string& sub : hive.Subkeys(key.path))
            Check(hive.Find(key.path + "\\" + sub) != nullptr, "a subkey named is there");
        for (const reg::Value& value : key.values) (void)value.Text();
    }
    return 0;
}
