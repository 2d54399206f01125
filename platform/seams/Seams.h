#pragma once
// Test seams of the platform layer: scripted failures of named platform
// functions, counters of live platform objects, and a trace of calls. Faults
// and traces belong to the calling thread and to the scope that set them up,
// so tests never leave them behind for one another.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::seams {

enum class Live { Provider, Store, CertContext, Buffer, LocalBuffer, Bstr, kCount };

void CountLive(Live kind, int delta);
long LiveCount(Live kind);

// Makes a call of `function` fail with `code`: the call after `pass` calls that
// still succeed. Holds for the calling thread until the object goes out of scope.
class ScopedFault {
public:
    ScopedFault(std::string function, std::uint32_t code, int pass = 0);
    ~ScopedFault();
    ScopedFault(const ScopedFault&) = delete;
    ScopedFault& operator=(const ScopedFault&) = delete;
    // True once the armed call has failed.
    bool Fired() const;

private:
    std::size_t m_id;
};

// Asked by a platform function on entry: true, with the code, when this call
// has to fail.
bool Injected(std::string_view function, std::uint32_t& code);

// Makes the platform's clock read `fileTime` (100-nanosecond intervals since
// 1601-01-01, UTC) on the calling thread while the object lives, so that a
// test can sign at a moment it chooses. The innermost clock wins.
class ScopedClock {
public:
    explicit ScopedClock(std::uint64_t fileTime);
    ~ScopedClock();
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;

private:
    std::optional<std::uint64_t> m_previous;
};

// The time a ScopedClock sets for the calling thread; nothing: the real clock.
std::optional<std::uint64_t> ClockTime();

// Records the platform calls made on the calling thread while it lives.
class ScopedTrace {
public:
    ScopedTrace();
    ~ScopedTrace();
    ScopedTrace(const ScopedTrace&) = delete;
    ScopedTrace& operator=(const ScopedTrace&) = delete;
    const std::vector<std::string>& Events() const;
    // Only the events that start with one of the prefixes, in order.
    std::vector<std::string> Filtered(std::initializer_list<std::string_view> prefixes) const;

private:
    std::vector<std::string>* m_previous;
    std::vector<std::string> m_events;
};

bool Tracing();
void Trace(std::string event);
// The same for a fixed name: nothing is built unless a trace is recorded, so
// that calls made once per certificate of a walk cost no allocation.
void Trace(const char* event);

}  // namespace platform::seams
