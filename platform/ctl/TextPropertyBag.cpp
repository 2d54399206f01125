#include "platform/ctl/TextPropertyBag.h"

#include <cstdio>

#include "platform/text/NoCase.h"
#include "platform/text/Utf.h"

namespace platform::ctl {
namespace {

bool IsControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

std::string Escape(std::string_view value) {
    std::string out;
    for (char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        switch (ch) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (IsControl(c)) {
                    char hex[5];
                    std::snprintf(hex, sizeof hex, "\\x%02X", c);
                    out += hex;
                } else {
                    out += ch;
                }
        }
    }
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The value an escaped text stands for; false at a bad escape, with the
// escape in `bad`.
bool Unescape(std::string_view text, std::string& out, std::string& bad) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (i + 1 >= text.size()) {
            bad = "\\";
            return false;
        }
        const char e = text[++i];
        switch (e) {
            case '\\':
                out += '\\';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'x': {
                const int hi = i + 1 < text.size() ? HexDigit(text[i + 1]) : -1;
                const int lo = i + 2 < text.size() ? HexDigit(text[i + 2]) : -1;
                const int c = hi * 16 + lo;
                // Only what a control character needs: a NUL would end the
                // value early for whoever reads it as text.
                if (hi < 0 || lo < 0 || c == 0 || !IsControl(static_cast<unsigned char>(c))) {
                    bad = std::string(
                        text.substr(i - 1, std::min<std::size_t>(4, text.size() - i + 1)));
                    return false;
                }
                out += static_cast<char>(c);
                i += 2;
                break;
            }
            default:
                bad = std::string("\\") + e;
                return false;
        }
    }
    return true;
}

std::string LineError(std::size_t line, const std::string& what) {
    return "line " + std::to_string(line) + ": " + what;
}

void LogError(IErrorLog* log, LPCOLESTR name, HRESULT hr, const std::string& what) {
    if (log == nullptr) return;
    EXCEPINFO info{};
    info.scode = hr;
    const std::u16string text = com::Utf8ToUtf16(what);
    info.bstrDescription = SysAllocStringLen(text.data(), UINT(text.size()));
    log->AddError(name, &info);
    SysFreeString(info.bstrDescription);
}

}  // namespace

bool TextPropertyBag::IsPropertyName(std::string_view name) {
    if (name.empty() || name.size() > kMaxBagNameLength || name.front() == '#' ||
        name.front() == ' ' || name.back() == ' ' || !com::IsValidUtf8(name))
        return false;
    for (char ch : name)
        if (ch == '=' || IsControl(static_cast<unsigned char>(ch))) return false;
    return true;
}

com::ComPtr<TextPropertyBag> TextPropertyBag::Create() {
    return com::ComPtr<TextPropertyBag>::Attach(new TextPropertyBag());
}

com::ComPtr<TextPropertyBag> TextPropertyBag::Parse(std::string_view text, std::string& error) {
    if (text.size() > kMaxBagText) {
        error = "the text is larger than " + std::to_string(kMaxBagText) + " bytes";
        return nullptr;
    }
    auto bag = Create();
    std::vector<std::size_t> lineOf;
    std::size_t lineNumber = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        ++lineNumber;
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.find('\0') != std::string_view::npos) {
            error = LineError(lineNumber, "holds a NUL character");
            return nullptr;
        }
        if (!com::IsValidUtf8(line)) {
            error = LineError(lineNumber, "is not UTF-8 text");
            return nullptr;
        }
        const std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos || line[first] == '#') continue;
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            error = LineError(lineNumber, "expected NAME=VALUE");
            return nullptr;
        }
        const std::string_view name = line.substr(0, eq);
        if (!IsPropertyName(name)) {
            error = LineError(lineNumber, "'" + std::string(name) + "' is not a property name");
            return nullptr;
        }
        if (bag->Find(name) != nullptr) {
            std::size_t firstLine = 0;
            for (std::size_t i = 0; i < bag->m_entries.size(); ++i)
                if (platform::text::EqualsNoCase(bag->m_entries[i].name, name))
                    firstLine = lineOf[i];
            error =
                LineError(lineNumber, "'" + std::string(name) + "' appears twice (first on line " +
                                          std::to_string(firstLine) + ")");
            return nullptr;
        }
        if (bag->m_entries.size() >= kMaxBagEntries) {
            error = LineError(lineNumber,
                              "more than " + std::to_string(kMaxBagEntries) + " properties");
            return nullptr;
        }
        Entry entry{std::string(name), {}};
        std::string bad;
        if (!Unescape(line.substr(eq + 1), entry.value, bad)) {
            error = LineError(
                lineNumber, "bad escape '" + bad + "' in the value of '" + std::string(name) + "'");
            return nullptr;
        }
        bag->m_entries.push_back(std::move(entry));
        lineOf.push_back(lineNumber);
    }
    return bag;
}

std::string TextPropertyBag::Text(std::string_view comment) const {
    std::string out;
    if (!comment.empty()) {
        out += "# ";
        // A comment stays on its line.
        for (char ch : comment) out += IsControl(static_cast<unsigned char>(ch)) ? ' ' : ch;
        out += "\n";
    }
    for (const Entry& e : m_entries) out += e.name + "=" + Escape(e.value) + "\n";
    return out;
}

TextPropertyBag::Entry* TextPropertyBag::Find(std::string_view name) {
    for (Entry& e : m_entries)
        if (platform::text::EqualsNoCase(e.name, name)) return &e;
    return nullptr;
}

HRESULT TextPropertyBag::Read(LPCOLESTR pszPropName, VARIANT* pVar, IErrorLog* pErrorLog) {
    if (pszPropName == nullptr || pVar == nullptr) return HRESULT(E_POINTER);
    try {
        const std::string name = com::Utf16ToUtf8(pszPropName);
        m_requests.push_back(name);
        const Entry* entry = Find(name);
        if (entry == nullptr) return HRESULT(E_INVALIDARG);
        const VARTYPE wanted = pVar->vt;
        com::Variant text = com::Variant::Str(entry->value);
        if (text.Type() != VT_BSTR || text.Raw().bstrVal == nullptr) return HRESULT(E_OUTOFMEMORY);
        if (wanted == VT_EMPTY || wanted == VT_BSTR) {
            VariantInit(pVar);
            return VariantCopy(pVar, &text.Raw());
        }
        com::Variant converted;
        const HRESULT hr = VariantChangeType(converted.Ptr(), &text.Raw(), 0, wanted);
        if (FAILED(hr)) {
            LogError(pErrorLog, pszPropName, hr,
                     "'" + entry->value + "' is not a value of type " + com::VarTypeName(wanted));
            return hr;
        }
        VariantInit(pVar);
        return VariantCopy(pVar, &converted.Raw());
    } catch (const std::bad_alloc&) {
        return HRESULT(E_OUTOFMEMORY);
    }
}

HRESULT TextPropertyBag::Write(LPCOLESTR pszPropName, VARIANT* pVar) {
    if (pszPropName == nullptr || pVar == nullptr) return HRESULT(E_POINTER);
    try {
        const auto name = com::Utf16ToUtf8Exact(pszPropName);
        if (!name || !IsPropertyName(*name)) return HRESULT(E_INVALIDARG);
        com::Variant text;
        if (const HRESULT hr = VariantChangeType(text.Ptr(), pVar, 0, VT_BSTR); FAILED(hr))
            return hr;
        const auto value =
            com::Utf16ToUtf8Exact({text.Raw().bstrVal, SysStringLen(text.Raw().bstrVal)});
        if (!value || value->find('\0') != std::string::npos) return HRESULT(E_INVALIDARG);
        if (Entry* existing = Find(*name)) {
            existing->value = *value;
            return S_OK;
        }
        if (m_entries.size() >= kMaxBagEntries) return HRESULT(E_OUTOFMEMORY);
        m_entries.push_back({*name, *value});
        return S_OK;
    } catch (const std::bad_alloc&) {
        return HRESULT(E_OUTOFMEMORY);
    }
}

}  // namespace platform::ctl
