#pragma once

#include "UString/UString.h"

namespace Pellix {

// Now, in seconds of CFAbsoluteTime.
double GetAbsoluteTime();
// Now as an en_US short date with a full time, in the process's time zone; empty when the platform
// cannot format it.
UString GetDateTimeString();

} // namespace Pellix
