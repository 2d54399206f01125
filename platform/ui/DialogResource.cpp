#include "platform/ui/DialogResource.h"

#include <cstdint>
#include <cstring>
#include <optional>

#include "platform/text/Utf.h"
#include "platform/ui/WinUser.h"

namespace platform::ui {
namespace {

// The predefined window classes, by the atom a template names them with.
constexpr struct {
    unsigned atom;
    const char* name;
} kAtoms[] = {{0x80, WC_BUTTON}, {0x81, WC_EDIT}, {0x82, WC_STATIC}, {0x83, WC_LISTBOX}};

constexpr unsigned kOrdinal = 0xFFFF;

void Word(std::vector<BYTE>& out, unsigned v) {
    out.push_back(BYTE(v));
    out.push_back(BYTE(v >> 8));
}
void Dword(std::vector<BYTE>& out, std::uint32_t v) {
    Word(out, v & 0xFFFF);
    Word(out, v >> 16);
}
void Text(std::vector<BYTE>& out, const char* utf8) {
    for (char16_t c : com::Utf8ToUtf16(utf8 != nullptr ? utf8 : "")) Word(out, c);
    Word(out, 0);
}
void Align4(std::vector<BYTE>& out) {
    while (out.size() % 4 != 0) out.push_back(0);
}

// Reads the bytes of a template front to back; every read is checked
// against what is left, and the first one that fails leaves it failed.
class Reader {
public:
    explicit Reader(std::span<const BYTE> bytes) : m_bytes(bytes) {}

    bool Ok() const { return m_ok; }

    std::uint16_t Word() {
        if (!Have(2)) return 0;
        const auto v = std::uint16_t(m_bytes[m_at] | m_bytes[m_at + 1] << 8);
        m_at += 2;
        return v;
    }
    std::uint32_t Dword() {
        const std::uint32_t low = Word();
        return low | std::uint32_t(Word()) << 16;
    }
    short Short() { return static_cast<short>(Word()); }

    // A NUL-terminated UTF-16 text, as UTF-8.
    std::string Text() {
        std::u16string text;
        for (;;) {
            if (!Have(2)) return {};
            const char16_t c = Word();
            if (c == 0) break;
            text.push_back(c);
        }
        auto utf8 = com::Utf16ToUtf8Exact(text);
        if (!utf8) return Fail(), std::string();
        return std::move(*utf8);
    }

    // A text, or 0xFFFF and a number: the number, or nothing for a text.
    std::optional<unsigned> TextOrOrdinal(std::string& text) {
        if (!Have(2)) return std::nullopt;
        if ((m_bytes[m_at] | m_bytes[m_at + 1] << 8) == kOrdinal) {
            Word();
            return Word();
        }
        text = Text();
        return std::nullopt;
    }

    void Skip(std::size_t count) {
        if (Have(count)) m_at += count;
    }
    void Align4() { Skip((4 - m_at % 4) % 4); }
    void Fail() { m_ok = false; }

private:
    bool Have(std::size_t count) {
        if (m_ok && count <= m_bytes.size() - m_at) return true;
        m_ok = false;
        return false;
    }

    std::span<const BYTE> m_bytes;
    std::size_t m_at = 0;
    bool m_ok = true;
};

}  // namespace

std::vector<BYTE> WriteDialogResource(const DialogTemplate& dialog) {
    std::vector<BYTE> out;
    Dword(out, dialog.style);
    Dword(out, dialog.exStyle);
    Word(out, unsigned(dialog.items.size()));
    for (short v : {dialog.x, dialog.y, dialog.cx, dialog.cy}) Word(out, std::uint16_t(v));
    Word(out, 0);  // no menu
    Word(out, 0);  // the standard dialog class
    Text(out, dialog.caption);
    if ((dialog.style & DS_SETFONT) != 0) {
        Word(out, dialog.pointSize);
        Text(out, dialog.typeface);
    }
    for (const auto& item : dialog.items) {
        Align4(out);
        Dword(out, item.style);
        Dword(out, item.exStyle);
        for (short v : {item.x, item.y, item.cx, item.cy}) Word(out, std::uint16_t(v));
        Word(out, std::uint16_t(item.id));
        unsigned atom = 0;
        for (const auto& a : kAtoms)
            if (item.windowClass != nullptr && std::strcmp(a.name, item.windowClass) == 0)
                atom = a.atom;
        if (atom != 0) {
            Word(out, kOrdinal);
            Word(out, atom);
        } else {
            Text(out, item.windowClass);
        }
        if (item.imageId != 0) {
            Word(out, kOrdinal);
            Word(out, unsigned(item.imageId));
        } else {
            Text(out, item.text);
        }
        Word(out, 0);  // no creation data
    }
    return out;
}

std::unique_ptr<const LoadedDialogTemplate> ReadDialogResource(std::span<const BYTE> bytes) {
    try {
        auto loaded = std::make_unique<LoadedDialogTemplate>();
        auto& texts = loaded->m_texts;
        DialogTemplate& t = loaded->m_template;
        Reader in(bytes);
        t.style = in.Dword();
        t.exStyle = in.Dword();
        // An extended template starts with its version (1) and 0xFFFF.
        if ((t.style & 0xFFFF) == 1 && (t.style >> 16) == kOrdinal) return nullptr;
        const unsigned count = in.Word();
        t.x = in.Short();
        t.y = in.Short();
        t.cx = in.Short();
        t.cy = in.Short();
        std::string ignored;
        in.TextOrOrdinal(ignored);  // the menu
        in.TextOrOrdinal(ignored);  // the window class
        t.caption = texts.emplace_back(in.Text()).c_str();
        t.pointSize = 0;
        t.typeface = "";
        if ((t.style & DS_SETFONT) != 0) {
            t.pointSize = in.Word();
            t.typeface = texts.emplace_back(in.Text()).c_str();
        }
        // Each item takes at least 24 bytes, so a count the bytes cannot
        // hold is refused before anything is made for it.
        if (count > bytes.size() / 24) return nullptr;
        loaded->m_items.reserve(count);
        for (unsigned i = 0; i < count && in.Ok(); ++i) {
            DialogItemTemplate item{};
            in.Align4();
            item.style = in.Dword();
            item.exStyle = in.Dword();
            item.x = in.Short();
            item.y = in.Short();
            item.cx = in.Short();
            item.cy = in.Short();
            item.id = in.Short();
            std::string name;
            if (const auto atom = in.TextOrOrdinal(name)) {
                for (const auto& a : kAtoms)
                    if (a.atom == *atom) item.windowClass = a.name;
                if (item.windowClass == nullptr) return nullptr;
            } else {
                item.windowClass = texts.emplace_back(std::move(name)).c_str();
            }
            std::string text;
            if (const auto image = in.TextOrOrdinal(text)) {
                item.imageId = int(*image);
                item.text = "";
            } else {
                item.text = texts.emplace_back(std::move(text)).c_str();
            }
            // Creation data: its size counts the size word itself.
            const unsigned extra = in.Word();
            if (extra == 1) return nullptr;
            if (extra != 0) in.Skip(extra - 2);
            loaded->m_items.push_back(item);
        }
        if (!in.Ok()) return nullptr;
        t.items = loaded->m_items;
        return loaded;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace platform::ui
