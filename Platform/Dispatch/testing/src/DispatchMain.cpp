#include <DispatchTesting/DispatchMain.h>

#include "DispatchMain.h"

namespace DispatchTesting {

void endDispatchMain()
{
    Dispatch::endDispatchMain();
}

} // namespace DispatchTesting
