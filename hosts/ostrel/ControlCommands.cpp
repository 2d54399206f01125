// `ostrel draw`, `ostrel about`, `ostrel properties` and `ostrel state`: the
// control worked as a host works it, created through its registration and
// reached through its interfaces only.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hosts/ostrel/Cli.h"
#include "hosts/shared/ControlHost.h"
#include "platform/ctl/DataObject.h"
#include "platform/ctl/TextPropertyBag.h"
#include "platform/text/NoCase.h"
#include "platform/text/Utf.h"
#include "platform/win/ErrorText.h"
#include "platform/win/LastError.h"

namespace ostrel::cli {
namespace {

using platform::com::ComPtr;

constexpr int kMaxDrawSide = 4096;

void Check(HRESULT hr, const std::string& what) {
    if (FAILED(hr)) throw Failure(what + " (" + platform::com::HResultName(hr) + ")");
}

std::string UserTypeOf(const ComPtr<IUnknown>& control) {
    LPOLESTR name = nullptr;
    if (FAILED(Query<IOleObject>(control, "IOleObject")->GetUserType(USERCLASSTYPE_FULL, &name)))
        return {};
    const std::string text = platform::com::Utf16ToUtf8(name);
    CoTaskMemFree(name);
    return text;
}

// The picture is made inside the control's module, which hands it out as
// PNG bytes in a stream: a device context made here would mean nothing to the
// module's own drawing functions.
void Draw(int width, int height, const std::string& out) {
    std::string png;
    {
        const ComPtr<IUnknown> control = CreateControl();
        Check(Query<IPersistStreamInit>(control, "IPersistStreamInit")->InitNew(),
              "cannot initialise the control");
        SIZEL extent{platform::ctl::HimetricFromPixels(width),
                     platform::ctl::HimetricFromPixels(height)};
        Check(Query<IOleObject>(control, "IOleObject")->SetExtent(DVASPECT_CONTENT, &extent),
              "the control cannot take that size");
        FORMATETC format{CF_PNG, nullptr, DVASPECT_CONTENT, -1, TYMED_ISTREAM};
        STGMEDIUM medium{};
        Check(Query<IDataObject>(control, "IDataObject")->GetData(&format, &medium),
              "the control could not draw");
        struct Release {
            STGMEDIUM& medium;
            ~Release() { ReleaseStgMedium(&medium); }
        } release{medium};
        if (medium.tymed != TYMED_ISTREAM || medium.pstm == nullptr)
            throw Failure("the control handed out its picture in a form this program cannot read");
        char buffer[65536];
        for (;;) {
            ULONG got = 0;
            Check(medium.pstm->Read(buffer, sizeof buffer, &got), "cannot read the picture");
            if (got == 0) break;
            png.append(buffer, got);
        }
    }
    ReleaseControlModules();
    WriteOutput(out, png);
}

void About() {
    CallControl("AboutBox", {});
}

// The verbs as a host's menu shows them: the accelerator mark taken out.
void ListVerbs(const ComPtr<IUnknown>& control) {
    ComPtr<IEnumOLEVERB> verbs;
    Check(Query<IOleObject>(control, "IOleObject")->EnumVerbs(verbs.Put()),
          "cannot list the control's verbs");
    OLEVERB verb{};
    std::string out;
    while (verbs->Next(1, &verb, nullptr) == S_OK) {
        std::string name = platform::com::Utf16ToUtf8(verb.lpszVerbName);
        CoTaskMemFree(verb.lpszVerbName);
        std::erase(name, '&');
        out += std::to_string(verb.lVerb) + " " + name + "\n";
    }
    WriteOutput("", out);
}

void Properties(bool list, std::optional<std::int32_t> verb) {
    const ComPtr<IUnknown> control = CreateControl();
    Check(Query<IPersistStreamInit>(control, "IPersistStreamInit")->InitNew(),
          "cannot initialise the control");
    if (list) {
        ListVerbs(control);
        return;
    }
    const LONG number = verb ? static_cast<LONG>(*verb) : OLEIVERB_PROPERTIES;
    Check(Query<IOleObject>(control, "IOleObject")->DoVerb(number, nullptr, nullptr, nullptr),
          verb ? "the control cannot carry out verb " + std::to_string(*verb)
               : std::string("the control cannot show its properties"));
}

void SaveState(const std::string& file) {
    const ComPtr<IUnknown> control = CreateControl();
    const auto persist = Query<IPersistPropertyBag>(control, "IPersistPropertyBag");
    Check(persist->InitNew(), "cannot initialise the control");
    const auto bag = platform::ctl::TextPropertyBag::Create();
    Check(persist->Save(bag.Get(), TRUE, TRUE), "the control could not save its state");
    WriteOutput(file, bag->Text(UserTypeOf(control)));
}

// Collects what a control could not take from a bag.
class ErrorList final : public platform::com::ComObject<IErrorLog> {
public:
    static ComPtr<ErrorList> Create() { return ComPtr<ErrorList>::Attach(new ErrorList()); }
    HRESULT AddError(LPCOLESTR pszPropName, EXCEPINFO* pExcepInfo) override {
        try {
            std::string line =
                pszPropName == nullptr ? "" : platform::com::Utf16ToUtf8(pszPropName);
            if (pExcepInfo != nullptr && pExcepInfo->bstrDescription != nullptr)
                line += ": " + platform::com::Utf16ToUtf8(pExcepInfo->bstrDescription);
            m_errors.push_back(std::move(line));
            return S_OK;
        } catch (...) {
            return HRESULT(E_OUTOFMEMORY);
        }
    }
    const std::vector<std::string>& Errors() const { return m_errors; }

private:
    ErrorList() = default;
    std::vector<std::string> m_errors;
};

std::string VersionNote(const std::string& value) {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || v > 0xFFFFFFFFull) return {};
    char note[48];
    std::snprintf(note, sizeof note, " (version %llu.%llu)", v >> 16, v & 0xFFFF);
    return note;
}

// Loads a state and tells what the control took from it: each property it
// asked for with the value it was given, or that the file had none.
int LoadState(const std::string& file) {
    // Read no further than the control would take: a larger file is refused
    // after its first bytes past the limit, not after all of them.
    const std::string text = ReadInput(file, platform::ctl::kMaxBagText);
    std::string error;
    const auto bag = platform::ctl::TextPropertyBag::Parse(text, error);
    if (!bag) throw UsageError(file + ": " + error);
    const ComPtr<IUnknown> control = CreateControl();
    const auto log = ErrorList::Create();
    Check(Query<IPersistPropertyBag>(control, "IPersistPropertyBag")->Load(bag.Get(), log.Get()),
          "the control could not load the state");

    std::string out;
    std::vector<std::string> seen;
    for (const std::string& name : bag->Requests()) {
        if (std::find(seen.begin(), seen.end(), name) != seen.end()) continue;
        seen.push_back(name);
        const auto& entries = bag->Entries();
        const auto entry = std::find_if(entries.begin(), entries.end(), [&](const auto& e) {
            return platform::text::EqualsNoCase(e.name, name);
        });
        if (entry == entries.end())
            out += name + " (not in the file: the control's default)\n";
        else
            out += name + "=" + entry->value +
                   (name == "_Version" ? VersionNote(entry->value) : "") + "\n";
    }
    WriteOutput("", out);
    for (const auto& entry : bag->Entries())
        if (std::none_of(seen.begin(), seen.end(), [&](const std::string& n) {
                return platform::text::EqualsNoCase(n, entry.name);
            }))
            std::fprintf(stderr, "ostrel: %s: %s is not a property of the control; ignored\n",
                         file.c_str(), entry.name.c_str());
    for (const std::string& e : log->Errors())
        std::fprintf(stderr, "ostrel: %s: %s; the control took its default\n", file.c_str(),
                     e.c_str());
    return log->Errors().empty() ? kExitOk : kExitUsage;
}

}  // namespace

void AddControlCommands(CLI::App& app, int& exitCode) {
    struct DrawOptions {
        int width = 0;
        int height = 0;
        std::string out;
    };
    auto draw = std::make_shared<DrawOptions>();
    CLI::App* drawCommand = app.add_subcommand(
        "draw", "Draw the control as a host shows it in design mode, into a PNG picture.");
    drawCommand->add_option("--width", draw->width, "Width in pixels")
        ->required()
        ->check(CLI::Range(1, kMaxDrawSide));
    drawCommand->add_option("--height", draw->height, "Height in pixels")
        ->required()
        ->check(CLI::Range(1, kMaxDrawSide));
    drawCommand->add_option("--out", draw->out, "The PNG file to write ('-': standard output)")
        ->required()
        ->type_name("FILE");
    drawCommand->callback([draw, &exitCode] {
        Draw(draw->width, draw->height, draw->out);
        exitCode = kExitOk;
    });

    app.add_subcommand("about", "Show the control's About box.")->callback([&exitCode] {
        About();
        exitCode = kExitOk;
    });

    struct PropertiesOptions {
        bool list = false;
        std::optional<std::int32_t> verb;
    };
    auto properties = std::make_shared<PropertiesOptions>();
    CLI::App* propertiesCommand = app.add_subcommand(
        "properties", "Show the control's property pages, as a host's Properties command does.");
    propertiesCommand->add_flag("--list", properties->list,
                                "Print the control's verbs (number and name) instead");
    propertiesCommand->add_option("--verb", properties->verb,
                                  "Carry out the verb of this number from the list instead");
    propertiesCommand->callback([properties, &exitCode] {
        Properties(properties->list, properties->verb);
        exitCode = kExitOk;
    });

    CLI::App* state = app.add_subcommand(
        "state",
        "Save a new control's state to a file, or load one, in the text form a host keeps.");
    state->require_subcommand(1);
    auto file = std::make_shared<std::string>();
    CLI::App* save = state->add_subcommand("save", "Save the state of a new control.");
    save->add_option("FILE", *file, "The file to write ('-': standard output)")->required();
    save->callback([file, &exitCode] {
        SaveState(*file);
        exitCode = kExitOk;
    });
    CLI::App* load = state->add_subcommand(
        "load",
        "Load a state into a new control and print what it took: each property it asked for and "
        "its value, the version stamp with its major and minor version.");
    load->add_option("FILE", *file, "The file to read ('-': standard input)")->required();
    load->callback([file, &exitCode] { exitCode = LoadState(*file); });
}

}  // namespace ostrel::cli
