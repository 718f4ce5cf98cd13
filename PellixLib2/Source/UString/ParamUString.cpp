#include "ParamUString.h"

#include <stdexcept>

namespace {

// Parameters that were never set hold a copy of it.
const UString kEmptyParameterString;

constexpr unsigned short kPercent = '%';
constexpr unsigned short kDigitZero = '0';

const UString kPercentString(kPercent);

} // namespace

void ParamUString::SetParameterAtIndex(std::size_t i, const UString& parameter)
{
    if (fParameters.size() < i + 1) {
        fParameters.resize(i + 1, kEmptyParameterString);
    }
    fParameters[i] = parameter;
}

UString ParamUString::MakeParamString(const UString& format, const std::vector<UString>& parameters) const
{
    UString text(format);
    std::size_t pos = 0;
    while ((pos = text.find(kPercent, pos)) != UString::npos) {
        // At the last unit this reads the terminating 0, which selects nothing.
        const unsigned short selector = text[pos + 1];
        const UString* replacement = &kPercentString;
        if (selector != kPercent) {
            // Units above the digit 9 select parameters 10 and up.
            if (selector < kDigitZero || std::size_t(selector - kDigitZero) >= parameters.size()) {
                throw std::out_of_range("ParamUString: a percent sign selects no parameter");
            }
            replacement = &parameters[selector - kDigitZero];
        }
        text.replace(pos, 2, *replacement);
        pos += replacement->length();
    }
    return text;
}
