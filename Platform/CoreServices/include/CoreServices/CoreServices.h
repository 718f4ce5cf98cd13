#pragma once

// The Carbon-era types the system still uses: status codes and the file-name record.

#include <CoreFoundation/CoreFoundation.h>

#include <cstdint>

typedef int16_t OSErr;

enum : OSErr
{
    memFullErr = -108,
    resNotFound = -192
};

// A file name of at most 255 UTF-16 units.
struct HFSUniStr255
{
    UInt16 length;
    UniChar unicode[255];
};
