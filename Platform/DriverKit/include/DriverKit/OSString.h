#pragma once

#include <DriverKit/OSObject.h>

#include <string>

class OSString : public OSObject
{
public:
    static OSString* withCString(const char* text);

    const char* getCStringNoCopy() const;
    size_t getLength() const;
    bool isEqualTo(const char* text) const;

private:
    std::string fText;
};
