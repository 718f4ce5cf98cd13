#pragma once

#include <os/log.h>

#include <string>

namespace DarwinLog {

// Where a log record came from.
enum class Source
{
    OSLog,
    Syslog,
    NSLog,
};

// One message of the log sink as a test capture receives it.
struct Record
{
    Source fSource;
    std::string fText;
    // os_log: the type, and the handle's subsystem and category (empty for OS_LOG_DEFAULT).
    os_log_type_t fType = OS_LOG_TYPE_DEFAULT;
    std::string fSubsystem{};
    std::string fCategory{};
    // syslog: the identity, option and facility of openlog, and the priority without the facility.
    std::string fIdentity{};
    int fOption = 0;
    int fFacility = 0;
    int fPriority = 0;
};

} // namespace DarwinLog
