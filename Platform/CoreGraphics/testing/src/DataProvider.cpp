#include <CoreGraphicsTesting/DataProvider.h>

#include "DataProviderCalls.h"

namespace CoreGraphicsTesting {

unsigned long dataProviderCopyDataCalls()
{
    return CGPlatform::dataCopyCount();
}

} // namespace CoreGraphicsTesting
