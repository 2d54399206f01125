// The binary form of a control's saved state, as a host hands it over in a
// stream. A state the decoder takes must encode to the same bytes, read the
// same from a stream (which may hold more after it), and load into the
// control; anything else is refused whole. Inputs that start as a state get
// their checksum mended as well, so that mutations of the properties reach
// the decoder instead of stopping at the checksum.

#include <cstdint>
#include <cstring>
#include <vector>

#include "control/OstrelCtrl.h"
#include "fuzz/FuzzSupport.h"
#include "platform/com/Unknown.h"
#include "platform/ctl/MemoryStream.h"
#include "platform/ctl/StateStream.h"
#include "platform/seams/Seams.h"

namespace {

using ostrel::fuzz::Check;
using platform::com::ComPtr;
using platform::ctl::MemoryStream;
using platform::ctl::StateProperties;

long Alive() {
    using platform::seams::Live;
    return platform::seams::LiveCount(Live::Bstr) + platform::seams::LiveCount(Live::Buffer);
}

bool Same(const StateProperties& a, const StateProperties& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const VARIANT& x = a[i].value.Raw();
        const VARIANT& y = b[i].value.Raw();
        if (a[i].name != b[i].name || x.vt != y.vt) return false;
        switch (x.vt) {
            case VT_I2:
                if (x.iVal != y.iVal) return false;
                break;
            case VT_BOOL:
                if (x.boolVal != y.boolVal) return false;
                break;
            case VT_I4:
                if (x.lVal != y.lVal) return false;
                break;
            case VT_UI4:
                if (x.ulVal != y.ulVal) return false;
                break;
            case VT_BSTR:
                if (SysStringLen(x.bstrVal) != SysStringLen(y.bstrVal) ||
                    std::memcmp(x.bstrVal, y.bstrVal, SysStringByteLen(x.bstrVal)) != 0)
                    return false;
                break;
            default:
                return false;
        }
    }
    return true;
}

void Examine(const std::vector<BYTE>& bytes) {
    StateProperties props;
    const HRESULT hr = platform::ctl::DecodeState(bytes, props);

    // The same bytes from a stream, followed by more that is not read.
    std::vector<BYTE> longer = bytes;
    longer.insert(longer.end(), {'m', 'o', 'r', 'e'});
    const auto stream = MemoryStream::Create(longer);
    StateProperties fromStream;
    const HRESULT streamed = platform::ctl::ReadState(stream.Get(), fromStream);

    const auto unknown = ComPtr<IUnknown>::Attach(RUNTIME_CLASS(COstrelCtrl)->CreateObject());
    Check(bool(unknown), "a control is made");
    const auto persist = unknown.As<IPersistStreamInit>();
    const HRESULT loaded = persist->Load(MemoryStream::Create(bytes).Get());

    if (FAILED(hr)) {
        Check(hr == STG_E_INVALIDHEADER || hr == STG_E_OLDDLL || hr == STG_E_DOCFILECORRUPT,
              "a refusal says not a state, newer, or damaged");
        Check(props.empty(), "nothing is taken from a refused state");
        return;
    }
    Check(streamed == S_OK && Same(fromStream, props), "a stream holds the same state");
    std::vector<BYTE> encoded;
    Check(platform::ctl::EncodeState(props, encoded) == S_OK, "a state read can be written");
    Check(encoded == bytes, "a state writes back to the same bytes");
    Check(loaded == S_OK, "the control loads a sound state");
    const auto saved = MemoryStream::Create();
    Check(persist->Save(saved.Get(), TRUE) == S_OK, "a loaded control saves");
    StateProperties resaved;
    Check(platform::ctl::DecodeState(saved->Bytes(), resaved) == S_OK,
          "what a control saves, the decoder takes");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ::setenv("OSTREL_UI", "none", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const long before = Alive();
    const std::vector<BYTE> bytes(data, data + size);
    Examine(bytes);
    if (size >= platform::ctl::kStateHeaderSize + 4 && std::memcmp(data, "OCST", 4) == 0) {
        std::vector<BYTE> mended = bytes;
        ostrel::fuzz::PutU32(&mended[size - 4], ostrel::fuzz::Crc32(mended.data(), size - 4));
        if (mended != bytes) Examine(mended);
    }
    Check(Alive() == before, "nothing stays alive");
    return 0;
}
