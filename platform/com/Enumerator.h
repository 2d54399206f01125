#pragma once
// The one enumerator of the object model: a snapshot of items taken when it
// is made, walked with Next, Skip, Reset and Clone. What is enumerated and
// how an item is handed to the caller comes from `Traits`:
//
//   using Interface = IEnumXxx;   // with Next, Skip, Reset and Clone
//   using Element = ...;          // what Next fills, one per item
//   using Item = ...;             // what the snapshot holds
//   static constexpr std::string_view kClone;  // Clone's name for failures
//   static bool HandOut(const Item&, Element& out);  // false: out of memory
//   static void TakeBack(Element& out);  // undoes one HandOut

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

#include "platform/com/Unknown.h"
#include "platform/win/Failure.h"

namespace platform::com {

template <class Traits>
class Enumerator final : public ComObject<typename Traits::Interface> {
public:
    using Interface = typename Traits::Interface;
    using Element = typename Traits::Element;
    using Item = typename Traits::Item;

    // `keeper`, when given, is held for as long as the enumerator (and each
    // clone) lives: the object the items live in.
    static ComPtr<Interface> Create(std::vector<Item> items, ComPtr<IUnknown> keeper = {},
                                    std::size_t at = 0) {
        return ComPtr<Interface>::Attach(new Enumerator(std::move(items), std::move(keeper), at));
    }

    // The count may be left out only when one item is asked for. A call that
    // cannot hand out every item it took gives back those it did and leaves
    // the place where it was.
    HRESULT Next(ULONG n, Element* out, ULONG* fetched) override {
        if (fetched != nullptr) *fetched = 0;
        if (out == nullptr || (n > 1 && fetched == nullptr)) return E_POINTER;
        ULONG k = 0;
        for (; k < n && m_at < m_items.size(); ++k, ++m_at) {
            if (!Traits::HandOut(m_items[m_at], out[k])) {
                for (ULONG i = 0; i < k; ++i) Traits::TakeBack(out[i]);
                m_at -= k;
                return HRESULT(E_OUTOFMEMORY);
            }
        }
        if (fetched != nullptr) *fetched = k;
        return k == n ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG n) override {
        const std::size_t left = m_items.size() - m_at;
        m_at += std::min<std::size_t>(n, left);
        return n <= left ? S_OK : S_FALSE;
    }
    HRESULT Reset() override {
        m_at = 0;
        return S_OK;
    }
    HRESULT Clone(Interface** pp) override {
        if (pp == nullptr) return E_POINTER;
        *pp = nullptr;
        return RunGuardedHr(Traits::kClone, [&]() -> HRESULT {
            *pp = Create(m_items, m_keeper, m_at).Detach();
            return S_OK;
        });
    }

private:
    Enumerator(std::vector<Item> items, ComPtr<IUnknown> keeper, std::size_t at)
        : m_keeper(std::move(keeper)), m_items(std::move(items)), m_at(at) {}

    ComPtr<IUnknown> m_keeper;
    std::vector<Item> m_items;
    std::size_t m_at;
};

}  // namespace platform::com
