#pragma once
// What the loader's test modules and their test agree on: the classes they
// are registered for and the code the refusing module's factory fails with.

#include "platform/com/Registration.h"

#define OSTREL_LOADER_TEST_EXPORT extern "C" __attribute__((visibility("default")))

namespace ostrel::test::loader {

// Classes the refusing module answers for: with a class object whose
// CreateInstance fails, with success but no class object at all; every other
// class it refuses with CLASS_E_CLASSNOTAVAILABLE.
inline constexpr CLSID kFailingFactoryClass =
    platform::com::MakeGuid("{6A1E5C1B-3F0D-4C57-9B4E-2D7A1C0F8E01}");
inline constexpr CLSID kEmptyAnswerClass =
    platform::com::MakeGuid("{6A1E5C1B-3F0D-4C57-9B4E-2D7A1C0F8E02}");
// Registered with every module, none of which serves it.
inline constexpr CLSID kUnservedClass =
    platform::com::MakeGuid("{6A1E5C1B-3F0D-4C57-9B4E-2D7A1C0F8E03}");

inline constexpr HRESULT kCreateFailure = CLASS_E_NOTLICENSED;

}  // namespace ostrel::test::loader
