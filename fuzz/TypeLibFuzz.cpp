// Type library files, as `ostrel typelib FILE`, LoadTypeLib and the
// registration of a module read them. An image the reader takes must be a
// library the writer would write, must come back the same through the
// writer, and must stand every question a client asks of the objects made
// from it. Inputs that start as an image get their length and checksum
// mended as well, so that mutations of the body reach the reader instead of
// stopping at the checksum.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "platform/com/TypeInfo.h"
#include "platform/com/TypeLibFormat.h"
#include "platform/com/Unknown.h"
#include "platform/seams/Seams.h"
#include "platform/text/Bstr.h"
#include "platform/text/Utf.h"

namespace {

using ostrel::fuzz::Check;
using platform::com::ComPtr;
namespace tl = platform::com::typelib;

// No more of a library is walked than this; bounds the work per input.
constexpr UINT kWalk = 32;

void Free(BSTR& b) {
    SysFreeString(b);
    b = nullptr;
}

void Document(ITypeInfo* info, MEMBERID memid) {
    BSTR name = nullptr, doc = nullptr, file = nullptr;
    DWORD context = 0;
    if (SUCCEEDED(info->GetDocumentation(memid, &name, &doc, &context, &file)))
        Check(name != nullptr, "a documented member has a name");
    Free(name);
    Free(doc);
    Free(file);
}

// The member's names, and its identifier found back by them in another case.
void Names(ITypeInfo* info, const FUNCDESC& func) {
    BSTR names[tl::kMaxParams + 2] = {};
    UINT count = 0;
    const HRESULT hr = info->GetNames(func.memid, names, UINT(std::size(names)), &count);
    if (SUCCEEDED(hr)) {
        Check(count >= 1 && count <= std::size(names), "the count of names is within the room");
        std::vector<std::u16string> shouted;
        for (UINT i = 0; i < count; ++i) {
            std::u16string n(names[i], SysStringLen(names[i]));
            for (char16_t& c : n)
                if (c >= u'a' && c <= u'z') c = char16_t(c - u'a' + u'A');
            shouted.push_back(std::move(n));
        }
        std::vector<LPOLESTR> asked;
        for (auto& n : shouted) asked.push_back(n.data());
        std::vector<MEMBERID> ids(asked.size());
        info->GetIDsOfNames(asked.data(), UINT(asked.size()), ids.data());
    }
    for (BSTR& b : names) Free(b);
}

void WalkType(ITypeInfo* info, bool deeper) {
    TYPEATTR* attr = nullptr;
    if (FAILED(info->GetTypeAttr(&attr))) return;
    Check(attr != nullptr, "attributes are handed out on success");
    const UINT funcs = std::min<UINT>(attr->cFuncs, kWalk);
    const UINT impls = std::min<UINT>(attr->cImplTypes, kWalk);
    info->ReleaseTypeAttr(attr);
    Document(info, MEMBERID_NIL);
    for (UINT i = 0; i < funcs; ++i) {
        FUNCDESC* func = nullptr;
        if (FAILED(info->GetFuncDesc(i, &func))) continue;
        Check(func != nullptr && func->cParams >= 0, "a function is described");
        for (SHORT p = 0; p < func->cParams; ++p) {
            // Walk the element type down to its base, as a caller would.
            const TYPEDESC* t = &func->lprgelemdescParam[p].tdesc;
            for (int depth = 0; t->vt == VT_PTR; ++depth) {
                Check(depth <= int(tl::kMaxPointerDepth), "pointer chains are bounded");
                t = t->lptdesc;
            }
        }
        Names(info, *func);
        Document(info, func->memid);
        info->ReleaseFuncDesc(func);
    }
    for (UINT i = 0; i < impls; ++i) {
        HREFTYPE href = 0;
        INT flags = 0;
        info->GetImplTypeFlags(i, &flags);
        if (FAILED(info->GetRefTypeOfImplType(i, &href))) continue;
        ComPtr<ITypeInfo> base;
        if (SUCCEEDED(info->GetRefTypeInfo(href, base.Put())) && deeper)
            WalkType(base.Get(), false);
    }
    ComPtr<ITypeLib> lib;
    UINT index = 0;
    info->GetContainingTypeLib(lib.Put(), &index);
}

void WalkLibrary(ITypeLib* lib, const tl::Library& described) {
    TLIBATTR* attr = nullptr;
    Check(SUCCEEDED(lib->GetLibAttr(&attr)) && attr != nullptr, "a library has attributes");
    Check(attr->guid == described.libid, "the library is the one described");
    lib->ReleaseTLibAttr(attr);
    BSTR name = nullptr, doc = nullptr, file = nullptr;
    lib->GetDocumentation(-1, &name, &doc, nullptr, &file);
    Free(name);
    Free(doc);
    Free(file);
    Check(lib->GetTypeInfoCount() == described.types.size(), "every type is offered");
    const UINT count = std::min<UINT>(lib->GetTypeInfoCount(), kWalk);
    for (UINT i = 0; i < count; ++i) {
        TYPEKIND kind{};
        lib->GetTypeInfoType(i, &kind);
        ComPtr<ITypeInfo> info;
        Check(SUCCEEDED(lib->GetTypeInfo(i, info.Put())), "an offered type can be had");
        WalkType(info.Get(), true);
        ComPtr<ITypeInfo> byGuid;
        Check(SUCCEEDED(lib->GetTypeInfoOfGuid(described.types[i].guid, byGuid.Put())),
              "a type is found by its identifier");
        lib->GetDocumentation(INT(i), &name, nullptr, nullptr, nullptr);
        Free(name);
        // IsName answers in the caller's buffer with the library's spelling.
        std::u16string asked = platform::com::Utf8ToUtf16(described.types[i].name);
        std::transform(asked.begin(), asked.end(), asked.begin(), [](char16_t c) {
            return c >= u'a' && c <= u'z' ? char16_t(c - u'a' + u'A') : c;
        });
        std::vector<OLECHAR> buffer(asked.begin(), asked.end());
        buffer.push_back(0);
        BOOL found = FALSE;
        lib->IsName(buffer.data(), 0, &found);
        Check(found == TRUE, "a type's name is a name of its library");
    }
}

void Examine(std::span<const BYTE> image) {
    tl::Library lib;
    const HRESULT hr = tl::Read(image, lib);
    if (FAILED(hr)) {
        Check(hr == TYPE_E_UNSUPFORMAT || hr == TYPE_E_INVDATAREAD,
              "a refusal says unsupported or damaged");
        ComPtr<ITypeLib> none;
        Check(platform::com::LoadTypeLibFromImage(image, none.Put()) == hr && !none,
              "loading refuses what reading refuses");
        return;
    }
    Check(tl::Check(lib).empty(), "a library read is one the writer takes");
    const std::vector<BYTE> written = tl::Write(lib);
    tl::Library again;
    Check(tl::Read(written, again) == S_OK && again == lib, "a library survives writing");
    ComPtr<ITypeLib> loaded;
    Check(platform::com::LoadTypeLibFromImage(image, loaded.Put()) == S_OK && loaded,
          "a library read loads");
    WalkLibrary(loaded.Get(), lib);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Lookups of imported libraries go to the registry of a private home.
    ostrel::fuzz::PrivateHome();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using platform::seams::Live;
    const long before = platform::seams::LiveCount(Live::Bstr);
    Examine({data, size});
    if (size >= tl::kHeaderSize && std::memcmp(data, tl::kMagic, sizeof tl::kMagic) == 0) {
        std::vector<BYTE> mended(data, data + size);
        const std::size_t body = size - tl::kHeaderSize;
        ostrel::fuzz::PutU32(&mended[12], std::uint32_t(body));
        ostrel::fuzz::PutU32(&mended[16],
                             ostrel::fuzz::Crc32(mended.data() + tl::kHeaderSize, body));
        if (!std::equal(mended.begin(), mended.end(), data)) Examine(mended);
    }
    Check(platform::seams::LiveCount(Live::Bstr) == before, "no string stays alive");
    return 0;
}
