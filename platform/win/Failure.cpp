#include "platform/win/Failure.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/win/ErrorText.h"

namespace platform {
namespace {

// A call keeps this many causes at most: a flood is cut short.
constexpr std::size_t kCausesPerCall = 16;

// The state of the guarded calls in progress on this thread. It is plain
// data, so that a guard reaches it with one look-up of the thread's storage
// and no check that it was set up: a walk of a store passes a guard at every
// step.
struct CallState {
    // Where the innermost call's causes begin in t_causes, and how many
    // t_causes holds (its size, kept here so that the list is only touched
    // when it holds something).
    std::size_t start = 0;
    std::size_t kept = 0;
    int depth = 0;
    // Whether the innermost call's failure result is an answer, not a failure.
    bool expected = false;
};
thread_local CallState t_call;

// The causes kept on this thread that no failure took yet, those of the
// calls in progress one after the other. Outside every guarded call they
// wait for the next Failure, or until the next outermost call starts.
thread_local std::vector<std::string> t_causes;

void DropCausesFrom(std::size_t start) {
    if (t_call.kept <= start) return;
    t_causes.resize(start);
    t_call.kept = start;
}

// The causes of the innermost call that no failure took, moved out.
std::vector<std::string> TakeCauses() {
    std::vector<std::string> taken;
    const std::size_t start = t_call.start;
    if (t_call.kept <= start) return taken;
    taken.assign(std::make_move_iterator(t_causes.begin() + std::ptrdiff_t(start)),
                 std::make_move_iterator(t_causes.end()));
    DropCausesFrom(start);
    return taken;
}

void AppendOneLine(std::string& line, std::string_view text) {
    if (text.empty()) return;
    line.append("; ");
    for (const char c : text) line.push_back(c == '\n' || c == '\r' ? ' ' : c);
}

void Tell(std::string_view function, DWORD code, const Failure* failure) {
    if (t_call.expected || !DebugFailures()) return;
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", unsigned(code));
    std::string line = "ostrel debug: ";
    line.append(function).append(" failed: ").append(hex);
    if (const auto text = SystemErrorDescription(code)) line.append(" ").append(*text);
    if (failure != nullptr) {
        AppendOneLine(line, failure->what());
        for (const auto& cause : failure->Causes()) AppendOneLine(line, cause);
    }
    for (const auto& cause : TakeCauses()) AppendOneLine(line, cause);
    line.push_back('\n');
    // One write, so that lines of threads and processes do not interleave.
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, line.data(), line.size());
}

}  // namespace

Failure::Failure(DWORD code, const std::string& what, std::string reason)
    : std::runtime_error(what), m_code(code), m_reason(std::move(reason)) {
    if (t_call.kept > t_call.start) m_causes = TakeCauses();
}

Failure& Failure::AddCause(std::string cause) {
    if (!cause.empty()) m_causes.push_back(std::move(cause));
    return *this;
}

bool DebugFailures() {
    // Read each time: only failures and dropped library errors ask.
    const char* value = std::getenv("OSTREL_DEBUG");
    return value != nullptr && std::string_view(value) == "1";
}

void KeepCause(std::string cause) {
    if (cause.empty() || !DebugFailures()) return;
    if (t_call.kept - t_call.start >= kCausesPerCall) return;
    t_causes.push_back(std::move(cause));
    t_call.kept = t_causes.size();
}

void ExpectedResult() {
    t_call.expected = true;
}

void TellFailure(std::string_view function, DWORD code) {
    Tell(function, code, nullptr);
}

void TellFailure(std::string_view function, DWORD code, const Failure& failure) {
    Tell(function, code, &failure);
}

namespace detail {

CallFrame::CallFrame() noexcept {
    CallState& state = t_call;
    m_state = &state;
    m_outerStart = state.start;
    m_outerExpected = state.expected;
    // Causes kept outside every call that no failure took belong to nothing
    // now under way.
    if (state.depth++ == 0) DropCausesFrom(0);
    state.start = state.kept;
    state.expected = false;
}

CallFrame::~CallFrame() {
    auto& state = *static_cast<CallState*>(m_state);
    --state.depth;
    DropCausesFrom(state.start);
    state.start = m_outerStart;
    state.expected = m_outerExpected;
}

void Traced(std::string_view function) {
    if (!function.empty() && seams::Tracing()) seams::Trace(std::string(function));
}

}  // namespace detail
}  // namespace platform
