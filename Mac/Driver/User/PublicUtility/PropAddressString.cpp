#include "PropAddressString.h"

std::string FourCharacters(UInt32 code)
{
    return {char(code >> 24), char(code >> 16), char(code >> 8), char(code)};
}

std::string PropAddressString(const AudioObjectPropertyAddress& address)
{
    return "{.mSelector: " + std::to_string(address.mSelector) + " (" + FourCharacters(address.mSelector) +
           ") .mScope: " + std::to_string(address.mScope) + " (" + FourCharacters(address.mScope) +
           ") .mElement: " + std::to_string(address.mElement) + "}";
}
