#pragma once

// The workspace: launches applications and opens URLs. Nothing is started here: the request is
// recorded for tests, and the answer says whether the system would have done it.

#include <Foundation/NSTypes.h>

namespace NS {

class Workspace
{
public:
    static Workspace& sharedWorkspace();

    // YES when the path names an application bundle with its executable (Contents/Info.plist
    // "CFBundleExecutable", under Contents/MacOS/).
    bool launchApplication(String path);
    // Opens the URL in its default application.
    bool openURL(URL url);

private:
    Workspace() = default;
};

} // namespace NS
