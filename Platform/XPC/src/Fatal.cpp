#include "Fatal.h"

#include <cstdio>
#include <cstdlib>

namespace XPC {

void fatal(const char* call, const char* what)
{
    fprintf(stderr, "XPC API misuse: %s: %s\n", call, what);
    fflush(stderr);
    abort();
}

} // namespace XPC
