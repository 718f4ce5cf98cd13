#pragma once

#include <os/log.h>

namespace DarwinLog {

// Info and debug messages are dropped unless a test enables their type; a test may also disable
// the default type.
void setTypeEnabled(os_log_type_t type, bool enabled);

} // namespace DarwinLog
