#include "XMLText.h"

namespace Pellix {

namespace {

bool IsHighSurrogate(unsigned short unit)
{
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool IsLowSurrogate(unsigned short unit)
{
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

} // namespace

bool IsXMLText(const UString& text)
{
    for (UString::size_type i = 0; i < text.size(); ++i) {
        unsigned short unit = text[i];
        if (unit < 0x20 && unit != 0x09 && unit != 0x0A && unit != 0x0D) {
            return false;
        }
        if (unit == 0xFFFE || unit == 0xFFFF || IsLowSurrogate(unit)) {
            return false;
        }
        if (IsHighSurrogate(unit)) {
            if (i + 1 == text.size() || !IsLowSurrogate(text[i + 1])) {
                return false;
            }
            ++i;
        }
    }
    return true;
}

} // namespace Pellix
