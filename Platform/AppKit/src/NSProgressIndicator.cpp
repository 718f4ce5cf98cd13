#include <AppKit/NSProgressIndicator.h>

#include <algorithm>

namespace NS {

void ProgressIndicator::setDoubleValue(double value)
{
    fDoubleValue = std::clamp(value, std::min(fMinValue, fMaxValue), std::max(fMinValue, fMaxValue));
}

} // namespace NS
