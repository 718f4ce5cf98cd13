#pragma once

// The library's debug log target: a file opened for appending, "/tmp/pellixlog" from the moment the
// library is loaded, and the switches that go with it. Set on the main thread.

// A null path keeps the current file; otherwise the file at `path` is opened for appending and
// replaces it (null when the open fails); the replaced stream is left open.
void SetDebugLogTarget(const char* path);
void SetAutoNewLine(bool autoNewLine);
bool GetAutoNewLine();
// Timestamps are not written; kept for the callers that ask.
void EnableDebugTimestamps(bool enable);
