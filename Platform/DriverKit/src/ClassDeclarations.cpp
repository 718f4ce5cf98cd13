#include "ClassDeclarations.h"

#include <DriverKit/OSMetaClass.h>

#include <mutex>

namespace DriverKitPlatform {

namespace {

struct Declarations
{
    std::mutex lock;
    std::vector<DriverClass> classes;
};

// Declarations run during static initialisation, in any order with other files.
Declarations& declarations()
{
    static Declarations* instance = new Declarations;
    return *instance;
}

} // namespace

ClassDeclaration::ClassDeclaration(const char* name, const char* base, OSObject* (*factory)())
{
    Declarations& d = declarations();
    std::lock_guard lock(d.lock);
    d.classes.push_back({name, base, factory});
}

std::vector<DriverClass> declaredClasses()
{
    Declarations& d = declarations();
    std::lock_guard lock(d.lock);
    return d.classes;
}

} // namespace DriverKitPlatform
