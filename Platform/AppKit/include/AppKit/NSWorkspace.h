#pragma once

// The workspace: opens other applications by name.

#include <Foundation/NSTypes.h>

namespace NS {

class Workspace
{
public:
    static Workspace& sharedWorkspace();

    // Asks the system to launch the named application; answers whether it was asked.
    bool launchApplication(String name);

private:
    Workspace() = default;
};

} // namespace NS
