#include "platform/win/Failure.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/win/ErrorText.h"

namespace platform {
namespace {

thread_local int t_depth = 0;
thread_local std::vector<std::string> t_causes;

}  // namespace

bool DebugFailures() {
    // Read each time: only failures and dropped library errors ask.
    const char* value = std::getenv("OSTREL_DEBUG");
    return value != nullptr && std::string_view(value) == "1";
}

void KeepCause(std::string cause) {
    if (!DebugFailures() || cause.empty()) return;
    // A failing call keeps what it was told; a flood of causes is cut short.
    if (t_causes.size() < 16) t_causes.push_back(std::move(cause));
}

void TellFailure(std::string_view function, DWORD code) {
    if (!DebugFailures()) return;
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", unsigned(code));
    std::string line = "ostrel debug: ";
    line.append(function).append(" failed: ").append(hex);
    if (const auto text = SystemErrorDescription(code)) line.append(" ").append(*text);
    for (const auto& cause : t_causes) line.append("; ").append(cause);
    line.push_back('\n');
    t_causes.clear();
    // One write, so that lines of threads and processes do not interleave.
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, line.data(), line.size());
}

namespace detail {

EntryDepth::EntryDepth() {
    if (t_depth++ == 0) t_causes.clear();
}
EntryDepth::~EntryDepth() {
    --t_depth;
}

void Traced(std::string_view function) {
    if (!function.empty() && seams::Tracing()) seams::Trace(std::string(function));
}

}  // namespace detail
}  // namespace platform
