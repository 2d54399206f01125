#pragma once
// Run-time class information: a class's name, its base, its schema and how to
// make one, so that a factory can create an object from its class alone.
//
//   class CMyCtrl : public COleControl {
//       DECLARE_DYNCREATE(CMyCtrl)
//       ...
//   };
//   IMPLEMENT_DYNCREATE(CMyCtrl, COleControl)
//
// A class that can be created must offer GetControllingUnknown(): the object
// is handed out as that interface, with the one reference of its creator.

#include <new>

#include "platform/com/Unknown.h"
#include "platform/win/WinTypes.h"

struct CRuntimeClass {
    LPCSTR m_lpszClassName;
    int m_nObjectSize;
    UINT m_wSchema;                    // 0xFFFF: not serialisable
    IUnknown* (*m_pfnCreateObject)();  // null: not dynamically creatable
    const CRuntimeClass* m_pBaseClass;

    // A new object with one reference, or null when it cannot be made (the
    // class is not creatable, or there is no memory for it).
    IUnknown* CreateObject() const;
    BOOL IsDerivedFrom(const CRuntimeClass* pBaseClass) const;
};

namespace platform::ctl {
template <class T>
IUnknown* NewObject() noexcept {
    try {
        T* object = new (std::nothrow) T;
        return object == nullptr ? nullptr : object->GetControllingUnknown();
    } catch (...) {
        // A constructor that fails yields no object, as no memory would.
        return nullptr;
    }
}
}  // namespace platform::ctl

#define RUNTIME_CLASS(class_name) (class_name::GetThisClass())

// A root of a hierarchy introduces GetRuntimeClass; every class below it
// overrides it, and says so, as the rest of its overrides do.
#define DECLARE_DYNAMIC_ROOT(class_name)        \
public:                                         \
    static const CRuntimeClass* GetThisClass(); \
    virtual const CRuntimeClass* GetRuntimeClass() const;

#define DECLARE_DYNAMIC(class_name)             \
public:                                         \
    static const CRuntimeClass* GetThisClass(); \
    const CRuntimeClass* GetRuntimeClass() const override;

#define DECLARE_DYNCREATE(class_name) \
    DECLARE_DYNAMIC(class_name)       \
    static IUnknown* CreateObject();

#define IMPLEMENT_RUNTIMECLASS_EX(class_name, base_class, pfnNew)                               \
    const CRuntimeClass* class_name::GetThisClass() {                                           \
        static const CRuntimeClass kClass{#class_name, int(sizeof(class_name)), 0xFFFF, pfnNew, \
                                          base_class};                                          \
        return &kClass;                                                                         \
    }                                                                                           \
    const CRuntimeClass* class_name::GetRuntimeClass() const {                                  \
        return GetThisClass();                                                                  \
    }

// The roots of the framework's hierarchies name no base.
#define IMPLEMENT_DYNAMIC_ROOT(class_name) IMPLEMENT_RUNTIMECLASS_EX(class_name, nullptr, nullptr)
#define IMPLEMENT_DYNAMIC(class_name, base_class_name) \
    IMPLEMENT_RUNTIMECLASS_EX(class_name, RUNTIME_CLASS(base_class_name), nullptr)
#define IMPLEMENT_DYNCREATE(class_name, base_class_name) \
    IUnknown* class_name::CreateObject() {               \
        return ::platform::ctl::NewObject<class_name>(); \
    }                                                    \
    IMPLEMENT_RUNTIMECLASS_EX(class_name, RUNTIME_CLASS(base_class_name), &class_name::CreateObject)
