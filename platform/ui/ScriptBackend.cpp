// The scripted user: answers dialogs with the actions OSTREL_UI_SCRIPT lists
// ("select 2; ok", "type 1234; ok"), one after the other across the dialogs
// of the process, and dismisses boxes at once. What it does shows in
// OSTREL_UI_LOG, except what it types.

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/Backend.h"
#include "platform/ui/WinUser.h"

namespace platform::ui {
namespace {

std::string Trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

std::vector<std::string> Split(const std::string& script) {
    std::vector<std::string> actions;
    std::string current;
    for (char c : script) {
        if (c == ';' || c == '\n') {
            if (auto a = Trim(current); !a.empty()) actions.push_back(a);
            current.clear();
        } else {
            current += c;
        }
    }
    if (auto a = Trim(current); !a.empty()) actions.push_back(a);
    return actions;
}

std::optional<int> Number(const std::string& text) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    return std::stoi(text);
}

class ScriptBackend final : public Backend {
public:
    std::string_view Name() const override { return "script"; }

    int ShowMessageBox(const std::string&, const std::string&, UINT) override { return IDOK; }

    std::intptr_t RunDialog(DialogSession& dialog) override {
        bool began = false;
        while (!dialog.Ended()) {
            const auto action = Next(began);
            began = true;
            if (!action) {
                // The script has nothing more for this dialog: it goes as if
                // Escape was pressed, and the next dialog reads the script
                // from its start again.
                dialog.UserPress(UserKey::Escape);
                break;
            }
            if (!Perform(dialog, action->text)) Refuse(dialog, *action);
        }
        return dialog.Ended() ? dialog.Result() : kDialogNotShown;
    }

private:
    struct Action {
        std::string text;
        std::size_t position;  // from 1, as the script lists it
    };

    // The next action, or nothing at the end of the script (which then starts
    // over for the next dialog). A changed script starts from its beginning.
    std::optional<Action> Next(bool withinDialog) {
        std::lock_guard lock(m_mutex);
        const char* env = std::getenv("OSTREL_UI_SCRIPT");
        const std::string text = env == nullptr ? "" : env;
        if (text != m_text) {
            m_text = text;
            m_actions = Split(text);
            m_next = 0;
        }
        if (m_next >= m_actions.size()) {
            if (!withinDialog && !m_actions.empty()) {
                m_next = 0;
            } else {
                m_next = 0;
                return std::nullopt;
            }
        }
        const std::size_t at = m_next++;
        return Action{m_actions[at], at + 1};
    }

    static int Find(DialogSession& dialog, ControlKind kind, int id = -2) {
        for (int i = 0; i < dialog.ControlCount(); ++i) {
            const ControlView v = dialog.Control(i);
            if (id != -2 && v.id == id) return i;
            if (id == -2 && v.kind == kind) return i;
        }
        return -1;
    }

    // The edit control that has the focus, else the first one that takes
    // typing; -1 for none.
    static int EditToType(DialogSession& dialog) {
        const auto takes = [&](int i) {
            const ControlView v = dialog.Control(i);
            return v.kind == ControlKind::Edit && v.visible && v.enabled && !v.readOnly;
        };
        if (const int focus = dialog.FocusIndex(); focus >= 0 && takes(focus)) return focus;
        for (int i = 0; i < dialog.ControlCount(); ++i)
            if (takes(i)) return i;
        return -1;
    }

    // The action's verb when it is one the script knows, else nothing.
    static std::optional<std::string> KnownVerb(const std::string& action) {
        static const char* const kVerbs[] = {"type",  "select", "ok",     "cancel",
                                             "click", "enter",  "escape", "close"};
        const std::string verb = action.substr(0, action.find(' '));
        for (const char* known : kVerbs)
            if (verb == known) return verb;
        return std::nullopt;
    }

    static bool Perform(DialogSession& dialog, const std::string& action) {
        const auto space = action.find(' ');
        const std::string verb = action.substr(0, space);
        const std::string arg = space == std::string::npos ? "" : Trim(action.substr(space + 1));
        if (verb == "type") {
            // The text after one space, as it is: a PIN may begin with a
            // space.
            const int edit = EditToType(dialog);
            if (edit < 0 || space == std::string::npos) return false;
            dialog.UserType(edit, action.substr(space + 1));
            return true;
        }
        if (verb == "select") {
            const auto row = Number(arg);
            const int list = Find(dialog, ControlKind::ListBox);
            if (!row || list < 0) return false;
            const ControlView v = dialog.Control(list);
            if (!v.visible || *row >= static_cast<int>(v.rows.size())) return false;
            dialog.UserSelect(list, *row);
            return true;
        }
        if (verb == "ok" || verb == "cancel" || verb == "click") {
            const int id = verb == "ok"       ? IDOK
                           : verb == "cancel" ? IDCANCEL
                                              : Number(arg).value_or(-3);
            if ((verb != "click" && !arg.empty())) return false;
            const int button = Find(dialog, ControlKind::PushButton, id);
            if (button < 0) return false;
            const ControlView v = dialog.Control(button);
            if (!v.visible || !v.enabled) return false;
            dialog.UserClick(button);
            return true;
        }
        if (!arg.empty()) return false;
        if (verb == "escape")
            dialog.UserPress(UserKey::Escape);
        else if (verb == "close")
            dialog.UserPress(UserKey::CloseBox);
        else if (verb == "enter")
            dialog.UserPress(UserKey::Enter);
        else
            return false;
        return true;
    }

    // Only the action's position and its verb are told, never what follows
    // the verb: a misspelt verb ("TYPE 1234", "type<TAB>1234") may be
    // followed by a PIN, and so may a known verb given a PIN by mistake.
    static void Refuse(DialogSession& dialog, const Action& given) {
        const auto verb = KnownVerb(given.text);
        const std::string what = "action " + std::to_string(given.position) +
                                 (verb ? " (" + *verb + ")" : " (not an action the script knows)");
        std::fprintf(stderr, "ostrel: OSTREL_UI_SCRIPT: %s cannot be done in \"%s\"; skipped\n",
                     what.c_str(), dialog.Caption().c_str());
        nlohmann::ordered_json line;
        line["dialog"] = dialog.Caption();
        line["event"] = "refused";
        line["action"] = verb.value_or("unknown");
        line["position"] = given.position;
        AppendUiLog(line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    }

    std::mutex m_mutex;
    std::string m_text;
    std::vector<std::string> m_actions;
    std::size_t m_next = 0;
};

}  // namespace

std::unique_ptr<Backend> MakeScriptBackend() {
    return std::make_unique<ScriptBackend>();
}

}  // namespace platform::ui
