#pragma once

// SIGTERM and SIGINT end the daemon with status 0. They are taken by one thread with sigwait rather
// than by a handler, so the exit path may log: a handler could interrupt a thread holding the
// allocator's, stdio's or the logger's lock.

// Blocks SIGTERM and SIGINT for the calling thread and those it starts later, and starts the thread
// that waits for them. Call before any other thread starts.
void InstallSignalHandling();

// For SIGTERM or SIGINT: logs, flushes every output stream and ends the process with status 0
// without running static destructors under live threads. Other signals are ignored.
void SignalHandler(int signal);
