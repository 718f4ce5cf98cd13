#pragma once

// Information about processes.

#include <stdint.h>
#include <sys/cdefs.h>

#define PROC_PIDPATHINFO_SIZE 1024
#define PROC_PIDPATHINFO_MAXSIZE 4096

__BEGIN_DECLS

// Writes the executable path of process `pid`, NUL-terminated, and returns its length. Returns 0
// with errno set for a buffer smaller than PROC_PIDPATHINFO_SIZE, an exited or unknown process, or
// a path that does not fit.
int proc_pidpath(int pid, void* buffer, uint32_t buffersize);

__END_DECLS
