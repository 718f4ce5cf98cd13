#pragma once

// Class records of the kernel's object family: each class's name, its superclass and its factory,
// found by name when a bundle's personalities are matched, and a count of the live objects of the
// class and its subclasses.
//
// A class writes OSDeclareDefaultStructors(className) in its declaration and
// OSDefineMetaClassAndStructors(className, superclassName) in its source file, after which it
// writes `#define super superclassName` for its overrides to call on.

#include <atomic>
#include <cstdint>

inline namespace kernel {

class OSObject;

class OSMetaClass
{
public:
    OSMetaClass(const char* className, const OSMetaClass* superClass, OSObject* (*factory)());
    ~OSMetaClass();
    OSMetaClass(const OSMetaClass&) = delete;
    OSMetaClass& operator=(const OSMetaClass&) = delete;

    const char* getClassName() const { return fClassName; }
    const OSMetaClass* getSuperClass() const { return fSuperClass; }
    // A new object of the class with one reference, not yet initialised; null for an abstract class.
    OSObject* alloc() const;
    // Live objects of this class and of its subclasses.
    int32_t getInstanceCount() const { return fInstances.load(std::memory_order_relaxed); }

    void instanceConstructed() const { fInstances.fetch_add(1, std::memory_order_relaxed); }
    void instanceDestructed() const { fInstances.fetch_sub(1, std::memory_order_relaxed); }

    // The class of that name among those loaded, or null.
    static const OSMetaClass* getMetaClassWithName(const char* className);

private:
    const char* fClassName;
    const OSMetaClass* fSuperClass;
    OSObject* (*fFactory)();
    mutable std::atomic<int32_t> fInstances{0};
};

} // namespace kernel

#define OSDeclareCommonStructors(className)                                                                  \
public:                                                                                                      \
    static const OSMetaClass gMetaClass;                                                                     \
    const OSMetaClass* getMetaClass() const override;                                                        \
    className();                                                                                             \
                                                                                                             \
protected:                                                                                                   \
    ~className() override;                                                                                   \
                                                                                                             \
private:

#define OSDeclareDefaultStructors(className) OSDeclareCommonStructors(className)
#define OSDeclareAbstractStructors(className) OSDeclareCommonStructors(className)

#define OSDefineCommonStructors(className, superclassName, factory)                                          \
    const OSMetaClass className::gMetaClass(#className, &superclassName::gMetaClass, factory);               \
    const OSMetaClass* className::getMetaClass() const                                                       \
    {                                                                                                        \
        return &gMetaClass;                                                                                  \
    }                                                                                                        \
    className::className()                                                                                   \
    {                                                                                                        \
        gMetaClass.instanceConstructed();                                                                    \
    }                                                                                                        \
    className::~className()                                                                                  \
    {                                                                                                        \
        gMetaClass.instanceDestructed();                                                                     \
    }

#define OSDefineMetaClassAndStructors(className, superclassName)                                             \
    OSDefineCommonStructors(className, superclassName, []() -> OSObject* { return new className; })

#define OSDefineMetaClassAndAbstractStructors(className, superclassName)                                     \
    OSDefineCommonStructors(className, superclassName, nullptr)
