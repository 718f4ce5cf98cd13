#pragma once

// The log sink's entry points for other parts of the process: the line writer behind the Foundation
// layer's NSLog, and what the syslog interposer of the project's executables calls.

#include <cstdarg>

namespace DarwinLog {

// Writes date, time, program name, process and thread id, then the text, as one line on standard
// error (or to the active test capture).
void writeNSLogLine(const char* text);

void rememberOpenlog(const char* identity, int option, int facility);
void forgetOpenlog();

// Hands a syslog message to the active test capture and answers true; answers false, leaving
// `arguments` untouched, when no capture is active and the C library is to take it.
bool captureSyslog(int priority, const char* format, va_list arguments);

} // namespace DarwinLog
