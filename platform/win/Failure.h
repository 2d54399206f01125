#pragma once
// How a platform function fails: its body throws a Failure with the code it
// reports (or returns its failure result after setting the code), and the
// entry guard around the body does the rest the same way for every function:
// the trace of the call, the fault a test injected, the catch-all, the
// last-error code, and, with OSTREL_DEBUG=1, one line on standard error that
// names the function, the code, its text and the cause kept from the
// libraries underneath.

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/seams/Seams.h"
#include "platform/win/LastError.h"
#include "platform/win/WinError.h"
#include "platform/win/WinTypes.h"

namespace platform {

// A failure with the platform error code that describes it. `what` is the
// whole text for a person; `reason` the same in words that name no path (for
// a row that already names the object), empty when there are none.
class Failure : public std::runtime_error {
public:
    explicit Failure(DWORD code, const std::string& what = {}, std::string reason = {})
        : std::runtime_error(what), m_code(code), m_reason(std::move(reason)) {}
    DWORD Code() const { return m_code; }
    std::string Reason() const { return m_reason.empty() ? std::string(what()) : m_reason; }

private:
    DWORD m_code;
    std::string m_reason;
};

// True when OSTREL_DEBUG=1: failures are told on standard error.
bool DebugFailures();

// Keeps a cause of the failure under way on this thread (for example the
// errors a library reported) for the line the entry guard writes. Does
// nothing unless DebugFailures().
void KeepCause(std::string cause);

// Writes the line for a failure of `function` with `code` when
// DebugFailures(), with the causes kept since, and forgets them. A failure
// inside another platform call tells its own line first; the outer call's
// line follows when it fails too. Exposed for the few functions that report
// without a guard.
void TellFailure(std::string_view function, DWORD code);

namespace detail {
// Counts guarded calls in progress on this thread: the outermost one starts
// with no causes kept.
class EntryDepth {
public:
    EntryDepth();
    ~EntryDepth();
    EntryDepth(const EntryDepth&) = delete;
    EntryDepth& operator=(const EntryDepth&) = delete;
};
void Traced(std::string_view function);
}  // namespace detail

// The guard of a platform function that returns TRUE or FALSE (or a handle,
// null for none) and reports a failure in the last-error code. `body`
// returns the result (having set the code when it fails) or throws: a
// Failure gives its code, exhausted memory `outOfMemory`, anything else
// `otherwise`.
template <class Body, class Result = std::invoke_result_t<Body&>>
Result RunGuardedCall(std::string_view function, Body&& body, DWORD otherwise = DWORD(NTE_FAIL),
                      DWORD outOfMemory = DWORD(NTE_NO_MEMORY)) noexcept {
    detail::EntryDepth depth;
    DWORD code = 0;
    try {
        if (Result result = body()) return result;
        code = GetLastError();
    } catch (const Failure& e) {
        code = e.Code();
    } catch (const std::bad_alloc&) {
        code = outOfMemory;
    } catch (...) {
        code = otherwise;
    }
    SetLastError(code);
    TellFailure(function, code);
    return Result{};
}

// RunGuardedCall after recording the call in the trace (`trace`: the
// function's name unless the call says more; empty: not traced) and failing it with the fault a
// test injected, if any.
template <class Body, class Result = std::invoke_result_t<Body&>>
Result GuardedCall(std::string_view function, std::string_view trace, Body&& body,
                   DWORD otherwise = DWORD(NTE_FAIL),
                   DWORD outOfMemory = DWORD(NTE_NO_MEMORY)) noexcept {
    detail::Traced(trace);
    std::uint32_t injected = 0;
    if (seams::Injected(function, injected)) {
        SetLastError(injected);
        TellFailure(function, injected);
        return Result{};
    }
    return RunGuardedCall(function, std::forward<Body>(body), otherwise, outOfMemory);
}

template <class Body>
auto GuardedCall(std::string_view function, Body&& body) noexcept {
    return GuardedCall(function, function, std::forward<Body>(body));
}

namespace detail {
template <class Code, class Body, class FromFailure>
Code RunGuarded(std::string_view function, Body&& body, Code otherwise, Code outOfMemory,
                FromFailure fromFailure, std::initializer_list<Code> quiet) noexcept {
    detail::EntryDepth depth;
    Code code{};
    try {
        code = body();
    } catch (const Failure& e) {
        code = fromFailure(e.Code());
    } catch (const std::bad_alloc&) {
        code = outOfMemory;
    } catch (...) {
        code = otherwise;
    }
    if (code != Code{} && std::find(quiet.begin(), quiet.end(), code) == quiet.end())
        TellFailure(function, DWORD(code));
    return code;
}
}  // namespace detail

// The guard of a platform function that returns a status (ERROR_SUCCESS or
// the code of the failure): `body` returns the status or throws, as for
// GuardedCall. Statuses in `quiet` are results, not failures (the end of an
// enumeration), and are not told.
template <class Body>
LONG RunGuardedStatus(std::string_view function, Body&& body, LONG otherwise, LONG outOfMemory,
                      std::initializer_list<LONG> quiet = {}) noexcept {
    return detail::RunGuarded<LONG>(
        function, std::forward<Body>(body), otherwise, outOfMemory,
        [](DWORD code) { return LONG(code); }, quiet);
}

// The guard of a platform function or method that returns an HRESULT. A
// Failure whose code is a system error code rather than an HRESULT gives
// that code as an HRESULT, so that it never reads as success.
template <class Body>
HRESULT RunGuardedHr(std::string_view function, Body&& body,
                     HRESULT otherwise = HRESULT(E_OUTOFMEMORY),
                     HRESULT outOfMemory = HRESULT(E_OUTOFMEMORY)) noexcept {
    return detail::RunGuarded<HRESULT>(function, std::forward<Body>(body), otherwise, outOfMemory,
                                       [](DWORD code) {
                                           if ((code & 0x80000000u) != 0 || code == 0)
                                               return HRESULT(code);
                                           return HRESULT(0x80070000u | (code & 0xFFFFu));
                                       },
                                       {});
}

// RunGuardedHr after the fault a test injected for `function`, if any.
template <class Body>
HRESULT GuardedHr(std::string_view function, Body&& body,
                  HRESULT otherwise = HRESULT(E_OUTOFMEMORY),
                  HRESULT outOfMemory = HRESULT(E_OUTOFMEMORY)) noexcept {
    std::uint32_t injected = 0;
    if (seams::Injected(function, injected)) {
        TellFailure(function, injected);
        return HRESULT(injected);
    }
    return RunGuardedHr(function, std::forward<Body>(body), otherwise, outOfMemory);
}

// Hands out `data` by the size-query convention: no buffer asks for the
// size; a buffer too small gets ERROR_MORE_DATA and the size needed; else
// the bytes are copied and the size says how many. Returns ERROR_SUCCESS or
// ERROR_MORE_DATA (the caller decides where the code goes).
inline DWORD CopyOut(std::span<const BYTE> data, BYTE* buffer, DWORD* size) {
    const auto length = static_cast<DWORD>(data.size());
    if (buffer == nullptr) {
        *size = length;
        return ERROR_SUCCESS;
    }
    if (*size < length) {
        *size = length;
        return ERROR_MORE_DATA;
    }
    if (length > 0) std::memcpy(buffer, data.data(), length);
    *size = length;
    return ERROR_SUCCESS;
}

// CopyOut for functions that report in the last-error code.
inline BOOL HandOut(std::span<const BYTE> data, BYTE* buffer, DWORD* size) {
    if (data.size() > 0xFFFFFFFFu) throw Failure(DWORD(CRYPT_E_ASN1_LARGE));
    const DWORD code = CopyOut(data, buffer, size);
    if (code == ERROR_SUCCESS) return TRUE;
    SetLastError(code);
    return FALSE;
}

}  // namespace platform
