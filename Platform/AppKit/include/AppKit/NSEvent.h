#pragma once

// A key event: the characters it typed.

#include <Foundation/NSObject.h>

#include <string>

namespace NS {

class Event : public Object
{
public:
    static Event* keyEvent(std::string characters) { return new Event(std::move(characters)); }

    const std::string& characters() const { return fCharacters; }

private:
    explicit Event(std::string characters) : fCharacters(std::move(characters)) {}

    const std::string fCharacters;
};

} // namespace NS
