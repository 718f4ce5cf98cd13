#include "UUIDObj.h"

#include <CoreFoundation/CFUUID.h>

namespace Pellix {

UUIDObj UUIDObj::GetNewUUID()
{
    const CFUUIDRef uuid = CFUUIDCreate(nullptr);
    const CFUUIDBytes b = CFUUIDGetUUIDBytes(uuid);
    CFRelease(uuid);
    return UUIDObj(b.byte0, b.byte1, b.byte2, b.byte3, b.byte4, b.byte5, b.byte6, b.byte7, b.byte8, b.byte9,
                   b.byte10, b.byte11, b.byte12, b.byte13, b.byte14, b.byte15);
}

} // namespace Pellix
