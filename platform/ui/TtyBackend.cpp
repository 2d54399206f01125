// The terminal backend: boxes and dialogs as text on standard error, answers
// read from standard input. Standard output stays the program's own.

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/text/NoCase.h"
#include "platform/ui/Backend.h"
#include "platform/ui/WinUser.h"

namespace platform::ui {
namespace {

void Write(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

std::optional<std::string> ReadLine() {
    std::string line;
    int c;
    while ((c = std::getchar()) != EOF && c != '\n') line += static_cast<char>(c);
    if (c == EOF && line.empty()) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

std::string Trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

std::string Indent(const std::string& text, const std::string& prefix) {
    std::string out = prefix;
    for (char ch : text) {
        if (ch == '\r') continue;
        out += ch;
        if (ch == '\n') out += prefix;
    }
    return out + "\n";
}

// The terminal whose echo is off while a PIN is typed, and its settings
// before. A signal that ends the reading (Ctrl-C or Ctrl-\ at the terminal,
// a hang-up, a kill) gives the terminal its echo back first, so that the user
// does not go on typing blind in the shell, and then does what it did before:
// it ends the process, or runs the program's own handler.
constexpr int kEndingSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
volatile sig_atomic_t g_quietTerminal = -1;
termios g_loudSettings{};
struct sigaction g_beforeQuiet[std::size(kEndingSignals)]{};
volatile sig_atomic_t g_endingSignal = 0;

void GiveEchoBack(int signal) {
    const int fd = g_quietTerminal;
    if (fd >= 0) ::tcsetattr(fd, TCSANOW, &g_loudSettings);
    g_endingSignal = signal;
    // Blocked while this runs: it is delivered, as it was set before, on
    // return.
    for (std::size_t i = 0; i < std::size(kEndingSignals); ++i)
        if (kEndingSignals[i] == signal) ::sigaction(signal, &g_beforeQuiet[i], nullptr);
    ::raise(signal);
}

bool Overlaps(const DuRect& a, const DuRect& b) {
    return a.y < b.y + b.cy && b.y < a.y + a.cy;
}

// The dialog laid out as lines: controls top to bottom, a label printed with
// the control to its right.
class TextForm {
public:
    explicit TextForm(DialogSession& dialog) : m_dialog(dialog) {}

    std::string Render() const {
        std::vector<ControlView> views;
        for (int i = 0; i < m_dialog.ControlCount(); ++i) views.push_back(m_dialog.Control(i));
        std::vector<int> labelOf(views.size(), -1);
        std::vector<bool> used(views.size(), false);
        for (std::size_t i = 0; i < views.size(); ++i) {
            const auto& v = views[i];
            if (!v.visible || v.kind == ControlKind::Label || v.kind == ControlKind::Picture ||
                v.kind == ControlKind::PushButton || v.kind == ControlKind::DefPushButton)
                continue;
            int best = -1;
            for (std::size_t j = 0; j < views.size(); ++j) {
                const auto& l = views[j];
                if (used[j] || !l.visible || l.kind != ControlKind::Label) continue;
                if (!Overlaps(l.rect, v.rect) || l.rect.x + l.rect.cx > v.rect.x + 2) continue;
                if (best < 0 || l.rect.x > views[std::size_t(best)].rect.x) best = int(j);
            }
            if (best >= 0) {
                labelOf[i] = best;
                used[std::size_t(best)] = true;
            }
        }
        std::vector<std::size_t> order;
        for (std::size_t i = 0; i < views.size(); ++i)
            if (views[i].visible && !used[i]) order.push_back(i);
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            const int ba = views[a].rect.y / 8, bb = views[b].rect.y / 8;
            return ba != bb ? ba < bb : views[a].rect.x < views[b].rect.x;
        });

        std::string out = "\n" + m_dialog.Caption() + "\n" +
                          std::string(std::max<std::size_t>(m_dialog.Caption().size(), 8), '=') +
                          "\n";
        std::string buttons;
        for (std::size_t i : order) {
            const auto& v = views[i];
            const std::string label = labelOf[i] >= 0 ? views[std::size_t(labelOf[i])].text : "";
            switch (v.kind) {
                case ControlKind::Label:
                    if (!v.text.empty()) out += v.text + "\n";
                    break;
                case ControlKind::ListBox:
                    if (!label.empty()) out += label + ":\n";
                    if (v.rows.empty()) out += "   (empty)\n";
                    for (std::size_t r = 0; r < v.rows.size(); ++r)
                        out += (int(r) == v.selection ? " > " : "   ") + std::to_string(r) + "  " +
                               v.rows[r] + "\n";
                    break;
                case ControlKind::Edit:
                    // The field the user is asked to fill in comes last, as
                    // the prompt.
                    if (!v.readOnly && v.enabled) break;
                    out += (label.empty() ? std::string("  ") : label + ": ") +
                           (v.password ? std::string() : v.text) + "\n";
                    break;
                case ControlKind::RichEdit:
                    if (!label.empty()) out += label + ":\n";
                    out += Indent(v.text, "  | ");
                    break;
                case ControlKind::PushButton:
                case ControlKind::DefPushButton:
                    buttons +=
                        "[" + v.text + (v.kind == ControlKind::DefPushButton ? "*" : "") + "] ";
                    break;
                default:
                    break;
            }
        }
        if (!buttons.empty()) out += buttons + "\n";
        return out;
    }

private:
    DialogSession& m_dialog;
};

class TtyBackend final : public Backend {
public:
    std::string_view Name() const override { return "tty"; }

    int ShowMessageBox(const std::string& caption, const std::string& text, UINT style) override {
        const bool stop = (style & MB_ICONHAND) != 0;
        std::string out = caption + (stop ? " [error]: " : ": ") + text + "\n";
        const bool interactive = isatty(STDIN_FILENO) != 0;
        if (interactive) out += "[OK: press Enter] ";
        Write(out);
        if (interactive) ReadLine();
        return IDOK;
    }

    std::intptr_t RunDialog(DialogSession& dialog) override {
        for (int i = 0; i < dialog.ControlCount(); ++i) {
            const ControlView v = dialog.Control(i);
            if (v.kind == ControlKind::Edit && v.visible && v.enabled && !v.readOnly)
                return RunForm(dialog, i);
        }
        int list = -1;
        std::vector<std::pair<std::string, int>> buttons;
        for (int i = 0; i < dialog.ControlCount(); ++i) {
            const ControlView v = dialog.Control(i);
            if (v.kind == ControlKind::ListBox && v.visible && list < 0) list = i;
            if ((v.kind == ControlKind::PushButton || v.kind == ControlKind::DefPushButton) &&
                v.visible)
                buttons.emplace_back(platform::text::LowerAscii(v.text), i);
        }
        TextForm form(dialog);
        while (!dialog.Ended()) {
            Write(form.Render());
            std::string prompt = list >= 0 ? "Row number to select, " : "";
            for (const auto& [name, index] : buttons) prompt += "'" + name + "', ";
            Write(prompt + "or Enter for the default: ");
            const auto line = ReadLine();
            if (!line) {
                // The input is gone: nobody can answer any more.
                Write("\n");
                dialog.UserPress(UserKey::Escape);
                break;
            }
            const std::string answer = platform::text::LowerAscii(Trim(*line));
            if (answer.empty()) {
                dialog.UserPress(UserKey::Enter);
                continue;
            }
            if (list >= 0 && std::all_of(answer.begin(), answer.end(), ::isdigit) &&
                answer.size() < 9) {
                const int row = std::stoi(answer);
                if (row < static_cast<int>(dialog.Control(list).rows.size()))
                    dialog.UserSelect(list, row);
                else
                    Write("There is no row " + answer + ".\n");
                continue;
            }
            const auto button = std::find_if(buttons.begin(), buttons.end(),
                                             [&](const auto& b) { return b.first == answer; });
            if (button != buttons.end()) {
                dialog.UserClick(button->second);
            } else if (answer == "escape" || answer == "q") {
                dialog.UserPress(UserKey::Escape);
            } else {
                Write("Not understood: " + answer + "\n");
            }
        }
        return dialog.Result();
    }

private:
    // A dialog with a field to fill in: the field is asked for, then the
    // default button pressed; the end of the input cancels.
    static std::intptr_t RunForm(DialogSession& dialog, int edit) {
        TextForm form(dialog);
        std::string label;
        const ControlView field = dialog.Control(edit);
        for (int i = 0; i < dialog.ControlCount(); ++i) {
            const ControlView v = dialog.Control(i);
            if (v.kind == ControlKind::Label && v.visible && Overlaps(v.rect, field.rect) &&
                v.rect.x + v.rect.cx <= field.rect.x + 2)
                label = v.text;
        }
        if (label.empty()) label = "Value";
        while (!dialog.Ended()) {
            Write(form.Render());
            Write(label + " (Ctrl-D cancels): ");
            std::string line;
            const bool read = field.password ? ReadSecret(line) : ReadAnswer(line);
            if (!read) {
                Write("\n");
                dialog.UserPress(UserKey::Escape);
                break;
            }
            dialog.UserType(edit, line);
            if (field.password) ::explicit_bzero(line.data(), line.size());
            dialog.UserPress(UserKey::Enter);
        }
        return dialog.Result();
    }

    static bool ReadAnswer(std::string& line) {
        auto answer = ReadLine();
        if (!answer) return false;
        line = std::move(*answer);
        return true;
    }

    // A line read from the terminal without showing it; from standard input
    // where there is no terminal. False when the input ended or a signal
    // ended the reading first.
    static bool ReadSecret(std::string& line) {
        const int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) return ReadAnswer(line);
        termios saved{};
        const bool quiet = ::tcgetattr(fd, &saved) == 0;
        bool watched[std::size(kEndingSignals)] = {};
        if (quiet) {
            g_loudSettings = saved;
            g_endingSignal = 0;
            g_quietTerminal = fd;
            struct sigaction handler {};
            handler.sa_handler = GiveEchoBack;
            sigemptyset(&handler.sa_mask);
            for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
                ::sigaction(kEndingSignals[i], nullptr, &g_beforeQuiet[i]);
                // A signal the process ignores does not end the reading.
                if (g_beforeQuiet[i].sa_handler == SIG_IGN) continue;
                watched[i] = ::sigaction(kEndingSignals[i], &handler, nullptr) == 0;
            }
            termios silent = saved;
            silent.c_lflag &= ~tcflag_t(ECHO);
            silent.c_lflag |= ECHONL;
            ::tcsetattr(fd, TCSAFLUSH, &silent);
        }
        line.reserve(256);
        bool got = false;
        bool ended = false;
        char c = 0;
        for (;;) {
            const ssize_t n = ::read(fd, &c, 1);
            if (n < 0 && errno == EINTR) {
                // A signal this process handles and lives on from (its own
                // handler for Ctrl-C) cancels the question.
                if (g_endingSignal != 0) ended = true;
                if (ended) break;
                continue;
            }
            if (n != 1) break;
            got = true;
            if (c == '\n') break;
            if (line.size() + 1 < line.capacity()) line += c;
        }
        if (quiet) {
            ::tcsetattr(fd, TCSAFLUSH, &saved);
            g_quietTerminal = -1;
            for (std::size_t i = 0; i < std::size(kEndingSignals); ++i)
                if (watched[i] && g_endingSignal != kEndingSignals[i])
                    ::sigaction(kEndingSignals[i], &g_beforeQuiet[i], nullptr);
        }
        ::close(fd);
        c = 0;
        if (ended) {
            ::explicit_bzero(line.data(), line.size());
            line.clear();
            return false;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return got;
    }
};

}  // namespace

std::unique_ptr<Backend> MakeTtyBackend() {
    return std::make_unique<TtyBackend>();
}

}  // namespace platform::ui
