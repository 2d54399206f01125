#pragma once
// A type library as data, and its file image (docs/typelib-format.md). The
// build writes images from a description; the loader reads them back and
// refuses anything damaged before a type library object sees it.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/com/TypeInfo.h"

namespace platform::com::typelib {

inline constexpr char kMagic[8] = {'O', 'S', 'T', 'R', 'L', 'T', 'L', 'B'};
inline constexpr WORD kFormatVersion = 1;
inline constexpr std::size_t kHeaderSize = 20;  // magic, version, reserved, length, checksum

// Bounds the loader enforces on every image.
inline constexpr std::size_t kMaxString = 4096;  // bytes of one string
inline constexpr std::size_t kMaxTypes = 1024;
inline constexpr std::size_t kMaxFunctions = 1024;  // per type
inline constexpr std::size_t kMaxParams = 64;       // per function
inline constexpr std::size_t kMaxImplTypes = 64;    // per type
inline constexpr std::size_t kMaxImports = 16;
inline constexpr std::size_t kMaxExternals = 256;
inline constexpr std::size_t kMaxPointerDepth = 4;

// A reference to a type: a type of this library by position, or (with the
// high bit) an external type by position.
inline constexpr HREFTYPE kExternalRef = 0x80000000u;

// An element type: zero or more VT_PTR, then the base type.
using ElemType = std::vector<VARTYPE>;

struct Param {
    std::string name;
    ElemType type;
    USHORT flags = PARAMFLAG_NONE;
    friend bool operator==(const Param&, const Param&) = default;
};

struct Function {
    MEMBERID memid = 0;
    std::string name;
    std::optional<std::string> doc;
    DWORD helpContext = 0;
    INVOKEKIND invkind = INVOKE_FUNC;
    FUNCKIND funckind = FUNC_DISPATCH;
    CALLCONV callconv = CC_STDCALL;
    WORD flags = 0;
    ElemType result;
    std::vector<Param> params;
    friend bool operator==(const Function&, const Function&) = default;
};

struct ImplType {
    HREFTYPE href = 0;
    INT flags = 0;
    friend bool operator==(const ImplType&, const ImplType&) = default;
};

struct Type {
    TYPEKIND kind = TKIND_DISPATCH;
    GUID guid{};
    WORD flags = 0;
    WORD wMajorVerNum = 0;
    WORD wMinorVerNum = 0;
    std::string name;
    std::optional<std::string> doc;
    DWORD helpContext = 0;
    std::vector<ImplType> implTypes;
    std::vector<Function> functions;
    friend bool operator==(const Type&, const Type&) = default;
};

struct Import {
    std::string file;
    GUID libid{};
    WORD wMajorVerNum = 0;
    WORD wMinorVerNum = 0;
    LCID lcid = 0;
    friend bool operator==(const Import&, const Import&) = default;
};

// A type of an imported library that this one refers to.
struct External {
    WORD import = 0;
    std::string name;
    GUID guid{};
    TYPEKIND kind = TKIND_INTERFACE;
    friend bool operator==(const External&, const External&) = default;
};

struct Library {
    std::string name;
    GUID libid{};
    LCID lcid = 0;
    SYSKIND syskind = SYS_WIN32;
    WORD wMajorVerNum = 0;
    WORD wMinorVerNum = 0;
    WORD flags = 0;
    std::optional<std::string> doc;
    DWORD helpContext = 0;
    std::optional<std::string> helpFile;
    std::vector<Import> imports;
    std::vector<External> externals;
    std::vector<Type> types;
    friend bool operator==(const Library&, const Library&) = default;
};

// Whether a description is one this layer can write and read back: names
// present, bounds kept, references resolvable, type codes known, identifiers
// of types distinct. Empty when sound, else what is wrong.
std::string Check(const Library& library);

// The image of a sound library; throws std::invalid_argument with Check's
// text for an unsound one.
std::vector<BYTE> Write(const Library& library);

// Reads an image: S_OK, TYPE_E_UNSUPFORMAT (not an image, or a format
// version this layer does not read), TYPE_E_INVDATAREAD (damaged: short,
// checksum, lengths, counts or values out of bounds, trailing bytes).
HRESULT Read(std::span<const BYTE> image, Library& library);

// The checksum kept in the header (CRC-32 of everything after the header).
std::uint32_t Checksum(std::span<const BYTE> body);

}  // namespace platform::com::typelib
