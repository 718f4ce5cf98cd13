#include <libkern/c++/OSString.h>

#include <cstring>

OSDefineMetaClassAndStructors(OSString, OSObject)
#define super OSObject

    OSString* OSString::withCString(const char* text)
{
    auto* string = new OSString;
    if (!string->initWithCString(text)) {
        string->release();
        return nullptr;
    }
    return string;
}

bool OSString::initWithCString(const char* text)
{
    if (!text || !super::init()) {
        return false;
    }
    fText = text;
    return true;
}

bool OSString::isEqualTo(const char* text) const
{
    return text && fText == text;
}

bool OSString::isEqualTo(const OSString* other) const
{
    return other && fText == other->fText;
}
