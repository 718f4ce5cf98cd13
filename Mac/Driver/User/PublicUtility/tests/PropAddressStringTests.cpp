#include "PropAddressString.h"

#include <gtest/gtest.h>

namespace {

struct AddressCase
{
    AudioObjectPropertyAddress fAddress;
    const char* fText;
};

TEST(PropAddressString, NamesEachFieldInDecimalAndCharacters)
{
    const AddressCase cases[] = {
        {{kAudioObjectPropertyManufacturer, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain},
         "{.mSelector: 1819107691 (lmak) .mScope: 1735159650 (glob) .mElement: 0}"},
        {{kAudioDevicePropertyDeviceUID, kAudioObjectPropertyScopeOutput, 32},
         "{.mSelector: 1969841184 (uid ) .mScope: 1869968496 (outp) .mElement: 32}"},
        {{0x41424344, kAudioObjectPropertyScopeInput, 0xFFFFFFFF},
         "{.mSelector: 1094861636 (ABCD) .mScope: 1768845428 (inpt) .mElement: 4294967295}"},
    };
    for (const AddressCase& c : cases) {
        EXPECT_EQ(PropAddressString(c.fAddress), c.fText);
    }
}

TEST(PropAddressString, TakesCharactersFromTheMostSignificantByte)
{
    EXPECT_EQ(FourCharacters(0x216F626A), "!obj");
    EXPECT_EQ(FourCharacters('who?'), "who?");
}

} // namespace
