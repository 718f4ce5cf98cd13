#pragma once

// "{.mSelector: 1819107691 (lmak) .mScope: 1735159650 (glob) .mElement: 0}": the text of a property
// address in log lines.

#include <CoreAudio/AudioHardwareBase.h>

#include <string>

std::string PropAddressString(const AudioObjectPropertyAddress& address);

// The four characters of a code, most significant byte first.
std::string FourCharacters(UInt32 code);
