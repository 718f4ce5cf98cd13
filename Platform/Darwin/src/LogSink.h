#pragma once

#include <Darwin/LogRecord.h>

#include <functional>
#include <string>

namespace DarwinLog {

using CaptureTarget = std::function<void(Record)>;

// Installs a test capture (nullptr: none) and returns the previous one. Records are delivered under
// the sink's lock, so once this returns the previous capture receives nothing more.
CaptureTarget* exchangeCapture(CaptureTarget* target);

// Hands the record made by `make` to the active capture and answers true, or answers false
// without calling `make` when there is none.
bool capture(const std::function<Record()>& make);

// Writes the line to standard error in one call, so lines of different threads never mix.
void writeLine(const std::string& line);

} // namespace DarwinLog
