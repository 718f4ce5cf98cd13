#include "JamTexts.h"

#include <iterator>

namespace {

constexpr const char* kErrorTexts[] = {"success",
                                       "out of memory",
                                       "file access error",
                                       "syntax error",
                                       "unexpected end of file",
                                       "undefined symbol",
                                       "redefined symbol",
                                       "integer overflow",
                                       "divide by zero",
                                       "CRC mismatch",
                                       "internal error",
                                       "bounds error",
                                       "type mismatch",
                                       "assignment to constant",
                                       "NEXT unexpected",
                                       "POP unexpected",
                                       "RETURN unexpected",
                                       "illegal symbol name",
                                       "vector signal name not found",
                                       "execution cancelled",
                                       "stack overflow",
                                       "illegal instruction code",
                                       "phase error",
                                       "scope error",
                                       "action not found"};

constexpr const char* kExitTexts2[] = {"Success",
                                       "Checking chain failure",
                                       "Reading IDCODE failure",
                                       "Reading USERCODE failure",
                                       "Reading UESCODE failure",
                                       "Entering ISP failure",
                                       "Unrecognized device",
                                       "Device revision is not supported",
                                       "Erase failure",
                                       "Device is not blank",
                                       "Device programming failure",
                                       "Device verify failure",
                                       "Read failure",
                                       "Calculating checksum failure",
                                       "Setting security bit failure",
                                       "Querying security bit failure",
                                       "Exiting ISP failure",
                                       "Performing system test failure"};

constexpr const char* kExitTexts1[] = {"Success",
                                       "Illegal initialization values",
                                       "Unrecognized device",
                                       "Device revision is not supported",
                                       "Device programming failure",
                                       "Device is not blank",
                                       "Device verify failure",
                                       "SRAM configuration failure"};

constexpr int kVerifyFailure = 11;

} // namespace

const char* jbi_error_text(int status)
{
    return status >= 0 && status < int(std::size(kErrorTexts)) ? kErrorTexts[status] : nullptr;
}

const char* jbi_exit_text(int format_version, int exit_code)
{
    if (format_version == 2 && exit_code >= 0 && exit_code < int(std::size(kExitTexts2))) {
        return kExitTexts2[exit_code];
    }
    if (format_version != 2 && exit_code >= 0 && exit_code < int(std::size(kExitTexts1))) {
        return kExitTexts1[exit_code];
    }
    return "Unknown exit code";
}

bool jbi_exit_code_flag(int format_version, int exit_code)
{
    return format_version == 2 && exit_code == kVerifyFailure;
}
