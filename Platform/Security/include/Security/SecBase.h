#pragma once

#include <CoreFoundation/CoreFoundation.h>

typedef struct __SecKey* SecKeyRef;

enum
{
    errSecSuccess = 0,
    errSecUnimplemented = -4,
    errSecParam = -50,
    errSecDecode = -26275,
    errSecVerifyFailed = -67808,
};
