#pragma once
// A property bag kept as text, for hosts that save a control's state in a
// file a person can read. One property per line, blank lines and lines
// starting with '#' ignored:
//
//   # the saved state of a control
//   _Version=65537
//   Caption=two\nlines
//
// Values are kept as text and converted to the type a reader asks for, as
// the parameters of a page reach its controls. In a value, '\' starts an
// escape: \\ \n \r \t or \xHH for any other control character.

#include <string>
#include <string_view>
#include <vector>

#include "platform/ctl/OleInterfaces.h"

namespace platform::ctl {

inline constexpr std::size_t kMaxBagText = std::size_t(1) << 20;
inline constexpr std::size_t kMaxBagEntries = 4096;
inline constexpr std::size_t kMaxBagNameLength = 255;

class TextPropertyBag final : public com::ComObject<IPropertyBag> {
public:
    struct Entry {
        std::string name;
        std::string value;  // UTF-8, unescaped
    };

    static com::ComPtr<TextPropertyBag> Create();
    // The bag a text holds; null when the text is not one, with `error`
    // saying where and why ("line 3: expected NAME=VALUE").
    static com::ComPtr<TextPropertyBag> Parse(std::string_view text, std::string& error);
    // The text form; `comment`, when given, becomes the first line.
    std::string Text(std::string_view comment = {}) const;

    // Names compare without regard to ASCII case. A value that cannot be
    // converted to the type asked for is reported to the error log as well.
    HRESULT Read(LPCOLESTR pszPropName, VARIANT* pVar, IErrorLog* pErrorLog) override;
    // E_INVALIDARG for a name this form cannot keep.
    HRESULT Write(LPCOLESTR pszPropName, VARIANT* pVar) override;

    const std::vector<Entry>& Entries() const { return m_entries; }
    // Every name Read was asked for, in order, found or not.
    const std::vector<std::string>& Requests() const { return m_requests; }

    static bool IsPropertyName(std::string_view name);

private:
    TextPropertyBag() = default;
    Entry* Find(std::string_view name);

    std::vector<Entry> m_entries;
    std::vector<std::string> m_requests;
};

}  // namespace platform::ctl
