// Dialog templates, bitmaps and strings of the current module, read from its
// resource section.

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/com/Registration.h"
#include "platform/com/Resource.h"
#include "platform/ui/DialogResource.h"
#include "platform/ui/ModuleStrings.h"
#include "platform/ui/Resources.h"
#include "platform/win/LastError.h"

namespace platform::ui {
namespace {

// The bytes of a resource of the current module, or nothing. Looking does
// not change the thread's last-error code: callers ask while they report a
// failure of their own.
std::optional<std::span<const BYTE>> ModuleResource(HMODULE module, int id, LPCSTR type) {
    if (id <= 0 || id > 0xFFFF) return std::nullopt;
    const DWORD saved = GetLastError();
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(WORD(id)), type);
    std::optional<std::span<const BYTE>> bytes;
    if (found != nullptr)
        if (const auto* data = static_cast<const BYTE*>(LockResource(LoadResource(module, found))))
            bytes.emplace(data, SizeofResource(module, found));
    SetLastError(saved);
    return bytes;
}

// What was read from a module's resources, by module and identifier: read
// once and kept, as the resources themselves are, for the life of the
// process.
template <class T>
class ResourceCache {
public:
    template <class Make>
    const T* Find(HMODULE module, int id, Make&& make) {
        const auto key = std::make_pair(reinterpret_cast<std::uintptr_t>(module), id);
        {
            std::lock_guard lock(m_mutex);
            if (auto it = m_items.find(key); it != m_items.end()) return it->second.get();
        }
        std::unique_ptr<const T> item = make();
        if (!item) return nullptr;
        std::lock_guard lock(m_mutex);
        // Another thread may have read it meanwhile: the first one stays.
        return m_items.emplace(key, std::move(item)).first->second.get();
    }

private:
    std::mutex m_mutex;
    std::map<std::pair<std::uintptr_t, int>, std::unique_ptr<const T>> m_items;
};

std::uint32_t U32(std::span<const unsigned char> b, std::size_t at) {
    return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
           std::uint32_t(b[at + 3]) << 24;
}

// The framework's own strings sit at the top of the identifier range, the
// module's below them. A module may give its own text for one of them.
constexpr struct {
    int id;
    const char* text;
} kFrameworkStrings[] = {
    {0xFE41, "&Properties..."},  // AFX_IDS_VERB_PROPERTIES
};

}  // namespace

const DialogTemplate* FindDialogTemplate(int id) {
    try {
        static ResourceCache<LoadedDialogTemplate> cache;
        const HMODULE module = AfxGetResourceHandle();
        const auto* loaded = cache.Find(module, id, [&]() {
            const auto bytes = ModuleResource(module, id, RT_DIALOG);
            return bytes ? ReadDialogResource(*bytes) : nullptr;
        });
        return loaded == nullptr ? nullptr : &loaded->Template();
    } catch (...) {
        return nullptr;
    }
}

const std::vector<unsigned char>* FindBitmap(int id) {
    try {
        static ResourceCache<std::vector<unsigned char>> cache;
        const HMODULE module = AfxGetResourceHandle();
        return cache.Find(module, id, [&]() -> std::unique_ptr<const std::vector<unsigned char>> {
            const auto bytes = ModuleResource(module, id, RT_BITMAP);
            if (!bytes) return nullptr;
            auto image = BitmapFileImage(*bytes);
            if (!image) return nullptr;
            return std::make_unique<const std::vector<unsigned char>>(std::move(*image));
        });
    } catch (...) {
        return nullptr;
    }
}

std::optional<std::vector<unsigned char>> BitmapFileImage(std::span<const unsigned char> resource) {
    // The information header: its size, the bits a pixel takes, the
    // compression (bit fields add three masks after a 40-byte header) and
    // the colours its palette holds (0: all a depth of 8 or less has).
    if (resource.size() < 40) return std::nullopt;
    const std::uint64_t headerSize = U32(resource, 0);
    const unsigned bits = unsigned(resource[14]) | unsigned(resource[15]) << 8;
    const std::uint32_t compression = U32(resource, 16);
    const std::uint64_t colours = U32(resource, 32);
    constexpr std::uint32_t kBitFields = 3;
    const std::uint64_t masks = compression == kBitFields && headerSize == 40 ? 12 : 0;
    const std::uint64_t palette = colours != 0 ? colours : bits <= 8 ? std::uint64_t(1) << bits : 0;
    const std::uint64_t pixels = headerSize + masks + palette * 4;
    if (headerSize < 40 || bits > 32 || colours > 256 || pixels > resource.size() ||
        resource.size() > 0xFFFFFFFFu - 14)
        return std::nullopt;
    std::vector<unsigned char> image(14);
    const auto put32 = [&](std::size_t at, std::uint64_t v) {
        for (int i = 0; i < 4; ++i) image[at + i] = static_cast<unsigned char>(v >> (8 * i));
    };
    image[0] = 'B';
    image[1] = 'M';
    put32(2, 14 + resource.size());
    put32(10, 14 + pixels);
    image.insert(image.end(), resource.begin(), resource.end());
    if (!ReadBitmapHeader(image)) return std::nullopt;
    return image;
}

std::optional<std::string_view> StringResourceText(std::span<const BYTE> resource) {
    if (resource.empty()) return std::nullopt;
    const auto* text = reinterpret_cast<const char*>(resource.data());
    const std::size_t length = strnlen(text, resource.size());
    if (length == resource.size()) return std::nullopt;
    return std::string_view(text, length);
}

const char* FindString(int id) {
    try {
        if (const auto bytes = ModuleResource(AfxGetResourceHandle(), id, RT_STRING))
            if (const auto text = StringResourceText(*bytes)) return text->data();
    } catch (...) {
    }
    for (const auto& entry : kFrameworkStrings)
        if (entry.id == id) return entry.text;
    return nullptr;
}

}  // namespace platform::ui
