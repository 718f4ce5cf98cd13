// The mixer opens the Wrenlet updater where the build lays it out: inside the mixer's own bundle.
#include "MixerFixture.h"

#include <AppKit/NSWorkspace.h>

namespace {

TEST_F(MixerFixture, OpenWrnLaunchesTheUpdaterBuiltInsideTheMixersBundle)
{
    CoreFoundationTesting::setMainBundle(FADERLY5_BUNDLE);
    launch();
    AppKitTesting::resetApplication();
    NS::Application::sharedApplication().setDelegate(fDelegate);
    post("open wrn");
    const std::string updater =
        std::string(FADERLY5_BUNDLE) + "/Contents/Resources/Vork Firmware Updater.app";
    EXPECT_EQ(AppKitTesting::launchedApplications(), std::vector<std::string>{updater});
    // The path is an application the workspace can launch: its bundle names an executable it holds.
    CFStringRef path = CFStringCreateWithCString(nullptr, updater.c_str(), kCFStringEncodingUTF8);
    EXPECT_TRUE(NS::Workspace::sharedWorkspace().launchApplication(path));
    CFRelease(path);
}

} // namespace
