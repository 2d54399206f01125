#pragma once
// How a platform function fails: its body throws a Failure with the code it
// reports (or returns its failure result after setting the code), and the
// entry guard around the body does the rest the same way for every function:
// the trace of the call, the fault a test injected, the catch-all, the
// last-error code, and, with OSTREL_DEBUG=1, one line on standard error that
// names the function, the code, its text, and the causes of that failure.
//
// Causes travel with the failure. What the libraries underneath said (the
// OpenSSL error queue, errno with the path, a PKCS#11 return value with the
// function that returned it) is kept with KeepCause while the call runs; the
// next Failure made in the same call takes it, so a failure caught and kept in
// a result (a damaged store entry) keeps its causes with it. Causes no failure
// took belong to the call that kept them: they are told with its own failure
// and are dropped when it returns, never told with another call's.

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/seams/Seams.h"
#include "platform/win/LastError.h"
#include "platform/win/WinError.h"
#include "platform/win/WinTypes.h"

namespace platform {

// A failure with the platform error code that describes it. `what` is the
// whole text for a person; `reason` the same in words that name no path (for
// a row that already names the object), empty when there are none. A failure
// takes the causes kept so far in the platform call under way on its thread
// (KeepCause), and more may be added to it.
class Failure : public std::runtime_error {
public:
    explicit Failure(DWORD code, const std::string& what = {}, std::string reason = {});
    DWORD Code() const { return m_code; }
    std::string Reason() const { return m_reason.empty() ? std::string(what()) : m_reason; }
    // What led to it, oldest first: empty unless failures are told.
    const std::vector<std::string>& Causes() const { return m_causes; }
    Failure& AddCause(std::string cause);

private:
    DWORD m_code;
    std::string m_reason;
    std::vector<std::string> m_causes;
};

// True when OSTREL_DEBUG=1: failures are told on standard error.
bool DebugFailures();

// Keeps a cause of the failure under way in the platform call running on this
// thread (for example the errors a library reported): the next Failure made
// in that call takes it, else the call's own line tells it. Does nothing
// unless DebugFailures().
void KeepCause(std::string cause);

// Marks the failure result that the platform call under way on this thread
// returns as an answer its callers expect (a key or a class name that is not
// registered), which is not told. Only that call's own result is quiet.
void ExpectedResult();

// Writes the line for a failure of `function` with `code` when
// DebugFailures(), with the causes kept in the call under way that no failure
// took. The guards call it; an entry that reports a failure besides its
// result tells it through its Entry.
void TellFailure(std::string_view function, DWORD code);
// The same for `failure`: its text and its causes, then those of the call.
void TellFailure(std::string_view function, DWORD code, const Failure& failure);

namespace detail {
// One guarded call in progress on this thread: the causes kept while it runs
// are its own, and go when it returns.
class CallFrame {
public:
    CallFrame() noexcept;
    ~CallFrame();
    CallFrame(const CallFrame&) = delete;
    CallFrame& operator=(const CallFrame&) = delete;

private:
    void* m_state;  // this thread's calls in progress
    std::size_t m_outerStart;
    bool m_outerExpected;
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
    detail::CallFrame frame;
    try {
        if (Result result = body()) return result;
        const DWORD code = GetLastError();
        SetLastError(code);
        TellFailure(function, code);
    } catch (const Failure& e) {
        SetLastError(e.Code());
        TellFailure(function, e.Code(), e);
    } catch (const std::bad_alloc&) {
        SetLastError(outOfMemory);
        TellFailure(function, outOfMemory);
    } catch (...) {
        SetLastError(otherwise);
        TellFailure(function, otherwise);
    }
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
        detail::CallFrame frame;
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

// The call under way of an entry that keeps its own last-error behaviour
// (RunGuardedEntry): the entry says through it when it fails.
class Entry {
public:
    explicit Entry(std::string_view function) : m_function(function) {}
    // Sets the last-error code and tells the failure; the entry returns
    // whatever result it returns with it.
    void Fail(DWORD code) const {
        SetLastError(code);
        TellFailure(m_function, code);
    }
    // The same for a failure the entry caught, with its causes: a result
    // that stands for it (a store entry that cannot be used) is returned all
    // the same.
    void Fail(const Failure& failure) const {
        SetLastError(failure.Code());
        TellFailure(m_function, failure.Code(), failure);
    }

private:
    std::string_view m_function;
};

// The guard of a platform function that keeps its own last-error behaviour:
// its result may come with a code (a context that stands for a damaged
// entry, a name cut short), or without one (nothing found), and it releases
// what it was handed even when it fails. `body(entry)` sets the code itself
// and calls entry.Fail when the call fails; the guard never touches the code
// of a result returned. When the body throws, `recover()` does what the entry
// does on failure and gives its result, and the guard sets the code (a
// Failure's, `outOfMemory` or `otherwise`) and tells the failure. No trace
// and no injected fault: the entry records and plays those where it must.
template <class Body, class Recover, class Result = std::invoke_result_t<Body&, const Entry&>>
Result RunGuardedEntry(std::string_view function, Body&& body, Recover&& recover,
                       DWORD otherwise = DWORD(NTE_FAIL),
                       DWORD outOfMemory = DWORD(NTE_NO_MEMORY)) noexcept {
    detail::CallFrame frame;
    const Entry entry(function);
    try {
        return body(entry);
    } catch (const Failure& e) {
        Result result = recover();
        entry.Fail(e);
        return result;
    } catch (const std::bad_alloc&) {
        Result result = recover();
        entry.Fail(outOfMemory);
        return result;
    } catch (...) {
        Result result = recover();
        entry.Fail(otherwise);
        return result;
    }
}

// The guard of a platform function that reports no failure at all, neither
// in the last-error code nor in its result (a comparison, a text that fits or
// not): `body` returns the result; should it throw, the failure is told and
// the function returns `failed`. The last-error code is never touched.
template <class Body, class Result = std::invoke_result_t<Body&>>
Result RunGuardedValue(std::string_view function, Body&& body, Result failed) noexcept {
    detail::CallFrame frame;
    try {
        return body();
    } catch (const Failure& e) {
        TellFailure(function, e.Code(), e);
    } catch (const std::bad_alloc&) {
        TellFailure(function, DWORD(NTE_NO_MEMORY));
    } catch (...) {
        TellFailure(function, DWORD(NTE_FAIL));
    }
    return failed;
}

namespace detail {
template <class Code, class Body, class FromFailure, class IsFailure>
Code RunGuarded(std::string_view function, Body&& body, Code otherwise, Code outOfMemory,
                FromFailure fromFailure, IsFailure isFailure,
                std::initializer_list<Code> quiet) noexcept {
    detail::CallFrame frame;
    const auto told = [&](Code code) {
        return isFailure(code) && std::find(quiet.begin(), quiet.end(), code) == quiet.end();
    };
    Code code{};
    try {
        code = body();
    } catch (const Failure& e) {
        code = fromFailure(e.Code());
        if (told(code)) TellFailure(function, DWORD(code), e);
        return code;
    } catch (const std::bad_alloc&) {
        code = outOfMemory;
    } catch (...) {
        code = otherwise;
    }
    if (told(code)) TellFailure(function, DWORD(code));
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
        [](DWORD code) { return LONG(code); }, [](LONG code) { return code != 0; }, quiet);
}

// The guard of a platform function or method that returns an HRESULT. A
// Failure whose code is a system error code rather than an HRESULT gives
// that code as an HRESULT, so that it never reads as success. Only failures
// are told: S_FALSE and the other successes are answers.
template <class Body>
HRESULT RunGuardedHr(std::string_view function, Body&& body,
                     HRESULT otherwise = HRESULT(E_OUTOFMEMORY),
                     HRESULT outOfMemory = HRESULT(E_OUTOFMEMORY)) noexcept {
    return detail::RunGuarded<HRESULT>(
        function, std::forward<Body>(body), otherwise, outOfMemory,
        [](DWORD code) {
            if ((code & 0x80000000u) != 0 || code == 0) return HRESULT(code);
            return HRESULT(0x80070000u | (code & 0xFFFFu));
        },
        [](HRESULT code) { return code < 0; }, {});
}

// RunGuardedHr after the fault a test injected for `function`, if any.
template <class Body>
HRESULT GuardedHr(std::string_view function, Body&& body,
                  HRESULT otherwise = HRESULT(E_OUTOFMEMORY),
                  HRESULT outOfMemory = HRESULT(E_OUTOFMEMORY)) noexcept {
    std::uint32_t injected = 0;
    if (seams::Injected(function, injected)) {
        detail::CallFrame frame;
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
