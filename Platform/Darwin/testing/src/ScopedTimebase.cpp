#include <DarwinTesting/ScopedTimebase.h>

#include "HostTimebase.h"

namespace DarwinTesting {

ScopedTimebase::ScopedTimebase(uint32_t numer, uint32_t denom)
{
    Darwin::chooseHostTimebase({numer, denom});
}

ScopedTimebase::~ScopedTimebase()
{
    Darwin::chooseHostTimebase({1, 1});
}

} // namespace DarwinTesting
