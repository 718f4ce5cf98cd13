#include "Fatal.h"

#include <cstdio>
#include <cstdlib>

namespace Dispatch {

void fatal(const char* call, const std::string& message)
{
    std::fprintf(stderr, "%s: %s\n", call, message.c_str());
    std::fflush(stderr);
    std::abort();
}

} // namespace Dispatch
