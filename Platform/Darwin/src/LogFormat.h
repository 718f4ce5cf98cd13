#pragma once

#include <cstdarg>
#include <string>

namespace DarwinLog {

// The format with every decoration such as "{public}" right after a '%' removed.
std::string withoutDecorations(const char* format);

// The printf expansion of the format.
std::string formatted(const char* format, va_list arguments);

// The program's name as the C library knows it.
const char* programName();

} // namespace DarwinLog
