#include <libkern/c++/OSMetaClass.h>

#include <cstring>
#include <mutex>
#include <vector>

namespace {

struct LoadedClasses
{
    std::mutex fMutex;
    std::vector<const OSMetaClass*> fClasses;
};

// Reached from static constructors of every loaded library, so made on first use.
LoadedClasses& loadedClasses()
{
    static LoadedClasses classes;
    return classes;
}

} // namespace

OSMetaClass::OSMetaClass(const char* className, const OSMetaClass* superClass, OSObject* (*factory)())
    : fClassName(className), fSuperClass(superClass), fFactory(factory)
{
    LoadedClasses& classes = loadedClasses();
    std::lock_guard lock(classes.fMutex);
    classes.fClasses.push_back(this);
}

OSMetaClass::~OSMetaClass()
{
    LoadedClasses& classes = loadedClasses();
    std::lock_guard lock(classes.fMutex);
    std::erase(classes.fClasses, this);
}

OSObject* OSMetaClass::alloc() const
{
    return fFactory ? fFactory() : nullptr;
}

const OSMetaClass* OSMetaClass::getMetaClassWithName(const char* className)
{
    if (!className) {
        return nullptr;
    }
    LoadedClasses& classes = loadedClasses();
    std::lock_guard lock(classes.fMutex);
    for (const OSMetaClass* metaClass : classes.fClasses) {
        if (std::strcmp(metaClass->fClassName, className) == 0) {
            return metaClass;
        }
    }
    return nullptr;
}
