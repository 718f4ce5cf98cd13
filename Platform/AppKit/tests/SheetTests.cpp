#include <AppKit/NSOpenPanel.h>
#include <AppKit/NSSavePanel.h>
#include <AppKit/NSWindow.h>
#include <AppKit/NSWorkspace.h>
#include <AppKitTesting/Application.h>
#include <AppKitTesting/Panels.h>
#include <CoreFoundationTesting/RunLoop.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

class SheetFixture : public testing::Test
{
protected:
    void SetUp() override
    {
        fWindow = NS::Window::initWithContentRect(NS::MakeRect(0, 0, 400, 300), 15, NS::BackingStoreBuffered,
                                                  false);
        const void* preset[] = {CFSTR("preset")};
        fTypes = CFArrayCreate(nullptr, preset, 1, &kCFTypeArrayCallBacks);
        fFolder = std::filesystem::path(testing::TempDir()) / ("sheets-" + std::to_string(getpid()));
        std::filesystem::create_directories(fFolder / "folder.preset");
        std::ofstream(fFolder / "a.txt") << "x";
    }

    void TearDown() override
    {
        CFRelease(fTypes);
        fWindow->release();
        AppKitTesting::resetPanels();
        AppKitTesting::resetApplication();
        std::filesystem::remove_all(fFolder);
    }

    // Runs a sheet of the panel and answers what its handler got, and the chosen path.
    std::vector<std::string>& answers() { return fAnswers; }

    void begin(NS::SavePanel* panel, const std::string& label)
    {
        panel->beginSheetModalForWindow(fWindow, [this, panel, label](NS::ModalResponse response) {
            std::string path;
            if (panel->URL()) {
                CFStringRef text = CFURLCopyFileSystemPath(panel->URL(), kCFURLPOSIXPathStyle);
                char buffer[4096] = {};
                CFStringGetCString(text, buffer, sizeof buffer, kCFStringEncodingUTF8);
                CFRelease(text);
                path = buffer;
            }
            fAnswers.push_back(label + ":" + std::to_string(response) + ":" + path);
        });
    }

    NS::Window* fWindow = nullptr;
    CFArrayRef fTypes = nullptr;
    std::filesystem::path fFolder;
    std::vector<std::string> fAnswers;
};

TEST_F(SheetFixture, AnswersOnALaterTurnOneSheetAtATime)
{
    NS::SavePanel* first = NS::SavePanel::savePanel();
    NS::SavePanel* second = NS::SavePanel::savePanel();
    first->setAllowedFileTypes(fTypes);
    AppKitTesting::answerOK("/tmp/mix");
    AppKitTesting::answerCancel();
    begin(first, "first");
    begin(second, "second");
    first->release();
    second->release();
    EXPECT_TRUE(answers().empty());
    CoreFoundationTesting::runUntilIdle();
    EXPECT_EQ(answers(), (std::vector<std::string>{"first:1:/tmp/mix.preset", "second:0:"}));
}

TEST_F(SheetFixture, AnOpenSheetTakesAFileOfItsType)
{
    NS::OpenPanel* panel = NS::OpenPanel::openPanel();
    panel->setAllowedFileTypes(fTypes);
    AppKitTesting::answerOK((fFolder / "b.preset").string());
    begin(panel, "open");
    CoreFoundationTesting::runUntilIdle();
    EXPECT_EQ(answers(), std::vector<std::string>{"open:1:" + (fFolder / "b.preset").string()});
    CFArrayRef urls = panel->URLs();
    EXPECT_EQ(CFArrayGetCount(urls), 1);
    CFRelease(urls);
    panel->release();
}

TEST_F(SheetFixture, AnOpenAnswerNoUserCouldGiveFailsLoudly)
{
    for (const char* forbidden : {"a.txt", "folder.preset"}) {
        EXPECT_DEATH(
            {
                NS::OpenPanel* panel = NS::OpenPanel::openPanel();
                panel->setAllowedFileTypes(fTypes);
                panel->setCanChooseDirectories(false);
                AppKitTesting::answerOK((fFolder / forbidden).string());
                begin(panel, "open");
                CoreFoundationTesting::runUntilIdle();
            },
            "no user could choose");
    }
}

size_t childProcesses()
{
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream children(entry.path() / "children");
        std::string pid;
        while (children >> pid) {
            ++count;
        }
    }
    return count;
}

TEST_F(SheetFixture, TheWorkspaceRecordsLaunchesAndStartsNothing)
{
    const std::filesystem::path bundle = fFolder / "Tool.app";
    std::filesystem::create_directories(bundle / "Contents/MacOS");
    std::ofstream(bundle / "Contents/Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
           "<key>CFBundleExecutable</key><string>tool</string>\n</dict>\n</plist>\n";
    std::ofstream(bundle / "Contents/MacOS/tool") << "#!/bin/sh\n";
    const size_t children = childProcesses();
    CFStringRef present = CFStringCreateWithCString(nullptr, bundle.c_str(), kCFStringEncodingUTF8);
    CFStringRef missing =
        CFStringCreateWithCString(nullptr, (fFolder / "Missing.app").c_str(), kCFStringEncodingUTF8);
    EXPECT_TRUE(NS::Workspace::sharedWorkspace().launchApplication(present));
    EXPECT_FALSE(NS::Workspace::sharedWorkspace().launchApplication(missing));
    EXPECT_EQ(AppKitTesting::launchedApplications(),
              (std::vector<std::string>{bundle.string(), (fFolder / "Missing.app").string()}));
    EXPECT_EQ(childProcesses(), children);
    CFRelease(present);
    CFRelease(missing);
}

} // namespace
