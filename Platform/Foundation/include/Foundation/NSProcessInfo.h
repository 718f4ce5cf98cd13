#pragma once

// The process's command-line arguments, program name first, as strings; and the activities that
// tell the system what the process is doing (Linux has no App Nap, so they are only kept).

#include <Foundation/NSObject.h>
#include <Foundation/NSTypes.h>

#include <cstdint>

namespace NS {

class ProcessInfo
{
public:
    static ProcessInfo& processInfo();

    // A new array of the arguments; the caller releases it.
    Array copyArguments() const;

    // A token for the activity, which stays active until `endActivity`; the process info keeps the
    // token until then.
    Object* beginActivityWithOptions(uint64_t options, String reason);
    void endActivity(Object* activity);

private:
    ProcessInfo() = default;
};

} // namespace NS
