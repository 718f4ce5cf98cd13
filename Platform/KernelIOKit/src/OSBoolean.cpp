#include <libkern/c++/OSBoolean.h>

OSDefineMetaClassAndStructors(OSBoolean, OSObject)

    inline namespace kernel
{

    struct OSBooleanInstances
    {
        OSBooleanInstances() { fTrue.fValue = true; }
        OSBoolean fTrue;
        OSBoolean fFalse;
    };

    namespace {
    OSBooleanInstances gBooleans;
    }

    OSBoolean* const kOSBooleanTrue = &gBooleans.fTrue;
    OSBoolean* const kOSBooleanFalse = &gBooleans.fFalse;

} // namespace kernel

OSBoolean* OSBoolean::withBoolean(bool value)
{
    return value ? kOSBooleanTrue : kOSBooleanFalse;
}
