#pragma once

// A format text with numbered parameters: "%0" to "%9" name parameters 0 to 9 in any order and as
// often as wanted, "%%" stands for one percent sign.

#include "UString.h"

#include <cstddef>
#include <type_traits>
#include <vector>

class ParamUString
{
public:
    ParamUString() = default;
    ParamUString(const ParamUString&) = default;
    explicit ParamUString(const UString& format) : fFormat(format) {}

    template <typename... Parameters>
    ParamUString(const UString& format, const Parameters&... parameters) requires(
        sizeof...(Parameters) >= 1 && sizeof...(Parameters) <= 6 &&
        (std::is_convertible_v<const Parameters&, UString> && ...))
        : fFormat(format), fParameters{UString(parameters)...}
    {}

    // Drops every parameter, then sets the given ones as parameters 0 to n - 1.
    template <typename... Parameters>
    void SetParameters(const Parameters&... parameters) requires(
        sizeof...(Parameters) >= 1 && sizeof...(Parameters) <= 6 &&
        (std::is_convertible_v<const Parameters&, UString> && ...))
    {
        fParameters = {UString(parameters)...};
    }

    // Fills the list up with empty parameters when it is shorter than i + 1.
    void SetParameterAtIndex(std::size_t i, const UString& parameter);

    UString GetString() const { return MakeParamString(fFormat, fParameters); }

    // Throws std::out_of_range for a percent sign that selects no parameter: a number beyond the
    // parameters, a unit below the digit 0 or the end of the text. Inserted text is not scanned
    // again.
    UString MakeParamString(const UString& format, const std::vector<UString>& parameters) const;

private:
    UString fFormat;
    std::vector<UString> fParameters;
};
