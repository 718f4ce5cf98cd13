#pragma once

// The driver's three log shapes. Every line ends with the file and line it was written from.

#include <DriverKit/IOLib.h>

#define DEXT_STRINGIFY_(x) #x
#define DEXT_STRINGIFY(x) DEXT_STRINGIFY_(x)
#define DEXT_WHERE __FILE_NAME__ ":" DEXT_STRINGIFY(__LINE__)

// A plain line.
#define DextLog(format, ...) IOLog(format " (%s)" __VA_OPT__(, ) __VA_ARGS__, DEXT_WHERE)

// A failed call, `text` being the call as written.
#define ReportError(code, text)                                                                              \
    IOLog("ReportError (%08X) - %s (%s)", static_cast<unsigned>(code), text, DEXT_WHERE)

// A condition that was false.
#define ReportBooleanError(text) IOLog("ReportBooleanError - %s (%s)", text, DEXT_WHERE)

// Never fatal: the line is the whole effect.
#define DextAssert(condition, text)                                                                          \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            IOLog("Assertion failed (%s) %s", text, DEXT_WHERE);                                             \
        }                                                                                                    \
    } while (0)
