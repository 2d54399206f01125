// The text form of a control's saved state, as `ostrel state load FILE` and
// hosts that keep a state in a file hand it over. A text the bag takes must
// come back the same from the text the bag writes; the control loads any bag
// without failing (a value it cannot use leaves the default and a note in the
// error log), and what it then saves, in either form, it loads again.

#include <cstdint>
#include <string>
#include <vector>

#include "control/OstrelCtrl.h"
#include "fuzz/FuzzSupport.h"
#include "platform/com/Unknown.h"
#include "platform/ctl/MemoryStream.h"
#include "platform/ctl/TextPropertyBag.h"
#include "platform/seams/Seams.h"

namespace {

using ostrel::fuzz::Check;
using platform::com::ComPtr;
using platform::ctl::MemoryStream;
using platform::ctl::TextPropertyBag;

long Alive() {
    using platform::seams::Live;
    return platform::seams::LiveCount(Live::Bstr) + platform::seams::LiveCount(Live::Buffer);
}

void CheckRoundTrip(const TextPropertyBag& bag) {
    const std::string text = bag.Text("saved");
    std::string error;
    const auto again = TextPropertyBag::Parse(text, error);
    Check(bool(again), "the bag reads back the text it writes");
    Check(again->Entries().size() == bag.Entries().size(), "every property comes back");
    for (std::size_t i = 0; i < bag.Entries().size(); ++i)
        Check(again->Entries()[i].name == bag.Entries()[i].name &&
                  again->Entries()[i].value == bag.Entries()[i].value,
              "a property comes back the same");
}

void LoadIntoTheControl(TextPropertyBag* bag) {
    const auto unknown = ComPtr<IUnknown>::Attach(RUNTIME_CLASS(COstrelCtrl)->CreateObject());
    Check(bool(unknown), "a control is made");
    const auto persist = unknown.As<IPersistPropertyBag>();
    Check(persist->Load(bag, nullptr) == S_OK, "a control loads any bag");

    const auto saved = TextPropertyBag::Create();
    Check(persist->Save(saved.Get(), TRUE, TRUE) == S_OK, "a loaded control saves");
    CheckRoundTrip(*saved.Get());
    const auto other = ComPtr<IUnknown>::Attach(RUNTIME_CLASS(COstrelCtrl)->CreateObject());
    Check(other.As<IPersistPropertyBag>()->Load(saved.Get(), nullptr) == S_OK,
          "what a control saves, a control loads");

    const auto stream = MemoryStream::Create();
    const auto streamed = unknown.As<IPersistStreamInit>();
    Check(streamed->Save(stream.Get(), TRUE) == S_OK, "a loaded control saves to a stream");
    const auto reread = MemoryStream::Create(stream->Bytes());
    Check(other.As<IPersistStreamInit>()->Load(reread.Get()) == S_OK,
          "what a control saves to a stream, a control loads");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ::setenv("OSTREL_UI", "none", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const long before = Alive();
    {
        std::string error;
        const auto bag = TextPropertyBag::Parse(ostrel::fuzz::Text(data, size), error);
        if (!bag) {
            Check(!error.empty(), "a refusal says why");
        } else {
            CheckRoundTrip(*bag.Get());
            LoadIntoTheControl(bag.Get());
        }
    }
    Check(Alive() == before, "nothing stays alive");
    return 0;
}
