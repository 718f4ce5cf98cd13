#pragma once

// A string used as a key: dictionaries hold their keys as symbols.

#include <libkern/c++/OSString.h>

inline namespace kernel {

class OSSymbol : public OSString
{
    OSDeclareDefaultStructors(OSSymbol)

        public : static const OSSymbol* withCString(const char* text);
    static const OSSymbol* withString(const OSString* text);
};

} // namespace kernel
