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

// The causes kept on this thread that no failure took yet, those of the
// calls in progress one after the other: the innermost call's begin at
// t_start. Outside every guarded call they wait for the next Failure, or
// until the next outermost call starts.
thread_local std::vector<std::string> t_causes;
thread_local std::size_t t_start = 0;
thread_local int t_depth = 0;
// Whether the innermost call's failure result is an answer, not a failure.
thread_local bool t_expected = false;

// The causes of the innermost call that no failure took, moved out.
std::vector<std::string> TakeCauses() {
    std::vector<std::string> taken;
    if (t_causes.size() <= t_start) return taken;
    taken.assign(std::make_move_iterator(t_causes.begin() + std::ptrdiff_t(t_start)),
                 std::make_move_iterator(t_causes.end()));
    t_causes.resize(t_start);
    return taken;
}

void AppendOneLine(std::string& line, std::string_view text) {
    if (text.empty()) return;
    line.append("; ");
    for (const char c : text) line.push_back(c == '\n' || c == '\r' ? ' ' : c);
}

void Tell(std::string_view function, DWORD code, const Failure* failure) {
    if (t_expected || !DebugFailures()) return;
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
    if (t_causes.size() > t_start) m_causes = TakeCauses();
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
    if (t_causes.size() - t_start < kCausesPerCall) t_causes.push_back(std::move(cause));
}

void ExpectedResult() {
    t_expected = true;
}

void TellFailure(std::string_view function, DWORD code) {
    Tell(function, code, nullptr);
}

void TellFailure(std::string_view function, DWORD code, const Failure& failure) {
    Tell(function, code, &failure);
}

namespace detail {

CallFrame::CallFrame() noexcept : m_outerStart(t_start), m_outerExpected(t_expected) {
    // Causes kept outside every call that no failure took belong to nothing
    // now under way.
    if (t_depth++ == 0) t_causes.clear();
    t_start = t_causes.size();
    t_expected = false;
}

CallFrame::~CallFrame() {
    --t_depth;
    t_causes.resize(t_start);
    t_start = m_outerStart;
    t_expected = m_outerExpected;
}

void Traced(std::string_view function) {
    if (!function.empty() && seams::Tracing()) seams::Trace(std::string(function));
}

}  // namespace detail
}  // namespace platform
