#pragma once

// An immutable C string.

#include <libkern/c++/OSObject.h>

#include <string>

inline namespace kernel {

class OSString : public OSObject
{
    OSDeclareDefaultStructors(OSString)

        public : static OSString* withCString(const char* text);

    virtual bool initWithCString(const char* text);
    const char* getCStringNoCopy() const { return fText.c_str(); }
    unsigned int getLength() const { return static_cast<unsigned int>(fText.size()); }
    bool isEqualTo(const char* text) const;
    bool isEqualTo(const OSString* other) const;

private:
    std::string fText;
};

} // namespace kernel
