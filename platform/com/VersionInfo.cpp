#include "platform/com/VersionInfo.h"

#include <cstring>

#include "platform/text/Utf.h"

namespace platform::com {
namespace {

void Pad4(std::vector<BYTE>& out) {
    while (out.size() % 4 != 0) out.push_back(0);
}
void PutWord(std::vector<BYTE>& out, WORD v) {
    out.push_back(BYTE(v));
    out.push_back(BYTE(v >> 8));
}
void PutText(std::vector<BYTE>& out, const std::string& utf8) {
    for (char16_t c : Utf8ToUtf16(utf8)) PutWord(out, WORD(c));
    PutWord(out, 0);
}

// One node: length, value length, type, key, value, children; the length is
// filled in once the children are written.
class Node {
public:
    Node(std::vector<BYTE>& out, const std::string& key, WORD valueLength, WORD type)
        : m_out(out), m_start(out.size()) {
        PutWord(out, 0);
        PutWord(out, valueLength);
        PutWord(out, type);
        PutText(out, key);
        Pad4(out);
    }
    ~Node() {
        const std::size_t length = m_out.size() - m_start;
        m_out[m_start] = BYTE(length);
        m_out[m_start + 1] = BYTE(length >> 8);
        Pad4(m_out);
    }
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

private:
    std::vector<BYTE>& m_out;
    std::size_t m_start;
};

WORD GetWord(std::span<const BYTE> b, std::size_t at) {
    return WORD(b[at] | (b[at + 1] << 8));
}

struct Parsed {
    std::string key;
    WORD type = 0;
    std::span<const BYTE> value;     // raw bytes of the value
    std::span<const BYTE> children;  // raw bytes of the children
    std::size_t length = 0;          // the node, padding excluded
};

std::size_t Align4(std::size_t n) {
    return (n + 3) & ~std::size_t(3);
}

// Reads the UTF-16 text at `at` up to its terminator inside `limit`.
std::optional<std::string> TextAt(std::span<const BYTE> b, std::size_t at, std::size_t limit,
                                  std::size_t& end) {
    std::u16string text;
    for (; at + 2 <= limit; at += 2) {
        const WORD c = GetWord(b, at);
        if (c == 0) {
            end = at + 2;
            return Utf16ToUtf8(text);
        }
        text.push_back(char16_t(c));
    }
    return std::nullopt;
}

std::optional<Parsed> ReadNode(std::span<const BYTE> b) {
    if (b.size() < 6) return std::nullopt;
    Parsed node;
    node.length = GetWord(b, 0);
    const std::size_t valueLength = GetWord(b, 2);
    node.type = GetWord(b, 4);
    if (node.length < 6 || node.length > b.size()) return std::nullopt;
    std::size_t at = 0;
    const auto key = TextAt(b, 6, node.length, at);
    if (!key) return std::nullopt;
    node.key = *key;
    at = Align4(at);
    // Text values count characters, binary values bytes.
    const std::size_t valueBytes = node.type == 1 ? valueLength * 2 : valueLength;
    if (at > node.length || valueBytes > node.length - at) return std::nullopt;
    node.value = b.subspan(at, valueBytes);
    at = std::min(Align4(at + valueBytes), node.length);
    node.children = b.subspan(at, node.length - at);
    return node;
}

template <class Visit>
bool ForEachChild(std::span<const BYTE> children, Visit&& visit) {
    std::size_t at = 0;
    while (at < children.size()) {
        const auto node = ReadNode(children.subspan(at));
        if (!node || !visit(*node)) return false;
        at += Align4(node->length);
    }
    return true;
}

}  // namespace

std::vector<BYTE> BuildVersionInfo(const VersionInfo& info) {
    std::vector<BYTE> out;
    {
        Node root(out, "VS_VERSION_INFO", sizeof(VS_FIXEDFILEINFO), 0);
        const auto* fixed = reinterpret_cast<const BYTE*>(&info.fixed);
        for (std::size_t i = 0; i < sizeof(VS_FIXEDFILEINFO); i += 4)
            for (int k = 0; k < 4; ++k) {
                DWORD v = 0;
                std::memcpy(&v, fixed + i, 4);
                out.push_back(BYTE(v >> (8 * k)));
            }
        Pad4(out);
        {
            Node stringFileInfo(out, "StringFileInfo", 0, 1);
            Node table(out, info.tableName, 0, 1);
            for (const auto& [key, value] : info.strings) {
                Node entry(out, key, WORD(Utf8ToUtf16(value).size() + 1), 1);
                PutText(out, value);
            }
        }
        {
            Node varFileInfo(out, "VarFileInfo", 0, 1);
            Node var(out, "Translation", WORD(info.translations.size() * 4), 0);
            for (const auto& [lang, codePage] : info.translations) {
                PutWord(out, lang);
                PutWord(out, codePage);
            }
        }
    }
    return out;
}

std::optional<VersionInfo> ParseVersionInfo(std::span<const BYTE> bytes) {
    const auto root = ReadNode(bytes);
    if (!root || root->key != "VS_VERSION_INFO" || root->value.size() != sizeof(VS_FIXEDFILEINFO))
        return std::nullopt;
    VersionInfo info;
    DWORD* fixed = reinterpret_cast<DWORD*>(&info.fixed);
    for (std::size_t i = 0; i < sizeof(VS_FIXEDFILEINFO) / 4; ++i)
        fixed[i] = DWORD(GetWord(root->value, i * 4)) | DWORD(GetWord(root->value, i * 4 + 2))
                                                            << 16;
    if (info.fixed.dwSignature != VS_FFI_SIGNATURE) return std::nullopt;
    const bool sound = ForEachChild(root->children, [&](const Parsed& section) {
        if (section.key == "StringFileInfo")
            return ForEachChild(section.children, [&](const Parsed& table) {
                info.tableName = table.key;
                return ForEachChild(table.children, [&](const Parsed& entry) {
                    std::size_t end = 0;
                    std::string value;
                    if (!entry.value.empty()) {
                        auto text = TextAt(entry.value, 0, entry.value.size(), end);
                        // A value that fills its length without a terminator is whole.
                        if (!text) {
                            std::u16string raw;
                            for (std::size_t i = 0; i + 1 < entry.value.size(); i += 2)
                                raw.push_back(char16_t(GetWord(entry.value, i)));
                            text = Utf16ToUtf8(raw);
                        }
                        value = *text;
                    }
                    info.strings.emplace_back(entry.key, value);
                    return true;
                });
            });
        if (section.key == "VarFileInfo")
            return ForEachChild(section.children, [&](const Parsed& var) {
                for (std::size_t i = 0; i + 4 <= var.value.size(); i += 4)
                    info.translations.emplace_back(GetWord(var.value, i),
                                                   GetWord(var.value, i + 2));
                return true;
            });
        return true;
    });
    if (!sound) return std::nullopt;
    return info;
}

}  // namespace platform::com
