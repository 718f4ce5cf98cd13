#include <libkern/c++/OSSymbol.h>

OSDefineMetaClassAndStructors(OSSymbol, OSString)

    const OSSymbol* OSSymbol::withCString(const char* text)
{
    auto* symbol = new OSSymbol;
    if (!symbol->initWithCString(text)) {
        symbol->release();
        return nullptr;
    }
    return symbol;
}

const OSSymbol* OSSymbol::withString(const OSString* text)
{
    return text ? withCString(text->getCStringNoCopy()) : nullptr;
}
