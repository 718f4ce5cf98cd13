#pragma once

// Unified logging: each message is one line on standard error with the program name and the type.
// Formats are printf formats; a decoration such as "{public}" right after a '%' is dropped.

#include <stdbool.h>
#include <stdint.h>
#include <sys/cdefs.h>

typedef struct os_log_s* os_log_t;

typedef uint8_t os_log_type_t;
#define OS_LOG_TYPE_DEFAULT ((os_log_type_t)0x00)
#define OS_LOG_TYPE_INFO ((os_log_type_t)0x01)
#define OS_LOG_TYPE_DEBUG ((os_log_type_t)0x02)
#define OS_LOG_TYPE_ERROR ((os_log_type_t)0x10)
#define OS_LOG_TYPE_FAULT ((os_log_type_t)0x11)

__BEGIN_DECLS

extern struct os_log_s gOSLogDefault;
#define OS_LOG_DEFAULT (&gOSLogDefault)

// The same handle for the same subsystem and category.
os_log_t os_log_create(const char* subsystem, const char* category);

// Default, error and fault messages are enabled; info and debug are not.
bool os_log_type_enabled(os_log_t log, os_log_type_t type);

// What the os_log macros expand to: formats and writes the message when its type is enabled.
void os_log_emit(os_log_t log, os_log_type_t type, const char* format, ...);

__END_DECLS

#define os_log_with_type(log, type, format, ...) os_log_emit((log), (type), (format), ##__VA_ARGS__)
#define os_log(log, format, ...) os_log_with_type((log), OS_LOG_TYPE_DEFAULT, (format), ##__VA_ARGS__)
#define os_log_info(log, format, ...) os_log_with_type((log), OS_LOG_TYPE_INFO, (format), ##__VA_ARGS__)
#define os_log_debug(log, format, ...) os_log_with_type((log), OS_LOG_TYPE_DEBUG, (format), ##__VA_ARGS__)
#define os_log_error(log, format, ...) os_log_with_type((log), OS_LOG_TYPE_ERROR, (format), ##__VA_ARGS__)
#define os_log_fault(log, format, ...) os_log_with_type((log), OS_LOG_TYPE_FAULT, (format), ##__VA_ARGS__)
