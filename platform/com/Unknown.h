#pragma once
// The root interface of the object model, a base that gives an object its
// reference count and interface lookup, and a smart pointer for callers.

#include <atomic>
#include <type_traits>
#include <utility>

#include "platform/com/ComError.h"
#include "platform/com/Guid.h"

// Interfaces are abstract classes whose identifier is their `kIid` and whose
// direct base interface is their `Base`; callers release them, never delete.
struct IUnknown {
    static constexpr IID kIid = platform::com::MakeGuid("{00000000-0000-0000-C000-000000000046}");
    virtual HRESULT QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};
using LPUNKNOWN = IUnknown*;
inline constexpr IID IID_IUnknown = IUnknown::kIid;

namespace platform::com {

// Objects handed out by the object model that are still alive, for tests that
// prove nothing stays behind.
long LiveObjects();
void CountLiveObject(int delta);

namespace detail {
template <class I>
void* FindInChain(I* self, REFIID riid) {
    if (riid == I::kIid) return self;
    if constexpr (!std::is_same_v<I, IUnknown>)
        return FindInChain<typename I::Base>(static_cast<typename I::Base*>(self), riid);
    else
        return nullptr;
}
}  // namespace detail

// Gives a class implementing `Interfaces...` its reference count (starting at
// one for the creator) and answers QueryInterface for each interface and the
// interfaces it derives from. IUnknown is answered with the first interface,
// so every query for it yields the same pointer.
template <class First, class... Rest>
class ComObject : public First, public Rest... {
public:
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        void* found = riid == IID_IUnknown ? static_cast<IUnknown*>(static_cast<First*>(this))
                                           : FindInterface(riid);
        if (found == nullptr) return E_NOINTERFACE;
        AddRef();
        *ppv = found;
        return S_OK;
    }
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override {
        const ULONG left = --m_refs;
        if (left == 0) delete this;
        return left;
    }

protected:
    ComObject() { CountLiveObject(+1); }
    virtual ~ComObject() { CountLiveObject(-1); }

    // Interfaces answered beyond those derived from; the pointer is not yet
    // reference-counted.
    virtual void* FindInterface(REFIID riid) {
        void* found = detail::FindInChain<First>(static_cast<First*>(this), riid);
        ((found = found ? found : detail::FindInChain<Rest>(static_cast<Rest*>(this), riid)), ...);
        return found;
    }

private:
    std::atomic<ULONG> m_refs{1};
};

// Holds one reference to an interface.
template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    // Takes over a reference the caller owns.
    static ComPtr Attach(T* owned) {
        ComPtr p;
        p.m_p = owned;
        return p;
    }
    // Adds a reference of its own.
    static ComPtr Share(T* p) {
        if (p != nullptr) p->AddRef();
        return Attach(p);
    }
    ~ComPtr() { Reset(); }
    ComPtr(const ComPtr& other) : m_p(other.m_p) {
        if (m_p) m_p->AddRef();
    }
    ComPtr(ComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    ComPtr& operator=(ComPtr other) noexcept {
        std::swap(m_p, other.m_p);
        return *this;
    }

    T* Get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    void Reset() {
        if (T* p = std::exchange(m_p, nullptr)) p->Release();
    }
    T* Detach() { return std::exchange(m_p, nullptr); }
    // For out-parameters: drops what is held and hands out the slot.
    T** Put() {
        Reset();
        return &m_p;
    }
    void** PutVoid() { return reinterpret_cast<void**>(Put()); }

    // The same object under another interface; empty when it has none.
    template <class U>
    ComPtr<U> As() const {
        ComPtr<U> out;
        if (m_p) m_p->QueryInterface(U::kIid, out.PutVoid());
        return out;
    }

private:
    T* m_p = nullptr;
};

}  // namespace platform::com
