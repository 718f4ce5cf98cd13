#pragma once

#include <Darwin/LogRecord.h>

#include <memory>
#include <string>
#include <vector>

namespace DarwinTesting {

using LogRecord = DarwinLog::Record;
using LogSource = DarwinLog::Source;

// While it exists, os_log, syslog and NSLog messages of the process come here instead of standard
// error and the C library. Captures nest: the newest one takes the messages.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogRecord> records() const;
    // The texts of one source's records, in order.
    std::vector<std::string> texts(LogSource source) const;

private:
    struct Collector;
    std::unique_ptr<Collector> fCollector;
};

// Info and debug messages of os_log are dropped unless enabled here; default messages are written
// unless disabled here.
void setLogTypeEnabled(os_log_type_t type, bool enabled);

// Turns the default type of os_log off for as long as it lives, however the test ends.
class DefaultLogDisabled
{
public:
    DefaultLogDisabled();
    ~DefaultLogDisabled();
    DefaultLogDisabled(const DefaultLogDisabled&) = delete;
    DefaultLogDisabled& operator=(const DefaultLogDisabled&) = delete;
};

} // namespace DarwinTesting
