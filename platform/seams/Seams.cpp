#include "platform/seams/Seams.h"

#include <array>
#include <atomic>

namespace platform::seams {
namespace {

std::array<std::atomic<long>, static_cast<std::size_t>(Live::kCount)> g_live{};

struct Fault {
    std::size_t id;
    std::string function;
    std::uint32_t code;
    int pass;
    bool fired;
};

thread_local std::vector<Fault> t_faults;
thread_local std::size_t t_nextFaultId = 1;
thread_local std::vector<std::string>* t_trace = nullptr;
thread_local std::optional<std::uint64_t> t_clock;

Fault* FindFault(std::size_t id) {
    for (auto& f : t_faults)
        if (f.id == id) return &f;
    return nullptr;
}

}  // namespace

void CountLive(Live kind, int delta) {
    g_live[static_cast<std::size_t>(kind)].fetch_add(delta, std::memory_order_relaxed);
}

long LiveCount(Live kind) {
    return g_live[static_cast<std::size_t>(kind)].load(std::memory_order_relaxed);
}

ScopedFault::ScopedFault(std::string function, std::uint32_t code, int pass)
    : m_id(t_nextFaultId++) {
    t_faults.push_back(Fault{m_id, std::move(function), code, pass, false});
}

ScopedFault::~ScopedFault() {
    std::erase_if(t_faults, [this](const Fault& f) { return f.id == m_id; });
}

bool ScopedFault::Fired() const {
    const Fault* f = FindFault(m_id);
    return f != nullptr && f->fired;
}

bool Injected(std::string_view function, std::uint32_t& code) {
    for (auto& f : t_faults) {
        if (f.fired || f.function != function) continue;
        if (f.pass > 0) {
            --f.pass;
            continue;
        }
        f.fired = true;
        code = f.code;
        return true;
    }
    return false;
}

ScopedClock::ScopedClock(std::uint64_t fileTime) : m_previous(t_clock) {
    t_clock = fileTime;
}

ScopedClock::~ScopedClock() {
    t_clock = m_previous;
}

std::optional<std::uint64_t> ClockTime() {
    return t_clock;
}

ScopedTrace::ScopedTrace() : m_previous(t_trace) {
    t_trace = &m_events;
}

ScopedTrace::~ScopedTrace() {
    t_trace = m_previous;
}

const std::vector<std::string>& ScopedTrace::Events() const {
    return m_events;
}

std::vector<std::string> ScopedTrace::Filtered(
    std::initializer_list<std::string_view> prefixes) const {
    std::vector<std::string> out;
    for (const auto& e : m_events)
        for (auto p : prefixes)
            if (std::string_view(e).starts_with(p)) {
                out.push_back(e);
                break;
            }
    return out;
}

bool Tracing() {
    return t_trace != nullptr;
}

void Trace(std::string event) {
    if (t_trace != nullptr) t_trace->push_back(std::move(event));
}

void Trace(const char* event) {
    if (t_trace != nullptr) t_trace->emplace_back(event);
}

}  // namespace platform::seams
