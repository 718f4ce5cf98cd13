#pragma once

// What a driver class's generated code gives the runtime: its name, its superclass's name and a way
// to make one. A driver writes one definition per class in the class's source file; the runtime
// learns the classes when the driver's bundle is loaded.

#include <DriverKit/OSObject.h>

namespace DriverKitPlatform {

struct ClassDeclaration
{
    ClassDeclaration(const char* name, const char* base, OSObject* (*factory)());
};

} // namespace DriverKitPlatform

#define OSDefineMetaClassAndStructors(className, superclassName)                                             \
    static const DriverKitPlatform::ClassDeclaration className##MetaClass(                                   \
        #className, #superclassName, []() -> OSObject* { return new className; })
