#pragma once

#include <Foundation/NSTypes.h>

#include <cstdint>

// The file-type string of a four-character code: its characters in single quotes ("'TEXT'"); 0
// bytes are left out. The caller releases the string.
NS::String NSFileTypeForHFSTypeCode(uint32_t code);
