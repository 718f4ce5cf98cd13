#include <libkern/c++/OSCollection.h>

OSDefineMetaClassAndAbstractStructors(OSCollection, OSObject)
