#pragma once

// The process's command-line arguments, program name first, as strings.

#include <Foundation/NSTypes.h>

namespace NS {

class ProcessInfo
{
public:
    static ProcessInfo& processInfo();

    // A new array of the arguments; the caller releases it.
    Array copyArguments() const;

private:
    ProcessInfo() = default;
};

} // namespace NS
