#include "XMLFailure.h"

#include <os/log.h>

namespace Pellix {

void FailStringError(const char* type, const char* file, int line)
{
    os_log(OS_LOG_DEFAULT, "FailString %s at file:%s line:%d\n", type, file, line);
    throw -50;
}

} // namespace Pellix
