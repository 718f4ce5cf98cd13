#include <AppKit/AppKit.h>
#include <AppKitTesting/Panels.h>
#include <Foundation/NSException.h>

#include <gtest/gtest.h>

#include <string>

namespace {

std::string PathOf(CFURLRef url)
{
    char path[4096] = {};
    EXPECT_TRUE(CFURLGetFileSystemRepresentation(url, true, reinterpret_cast<UInt8*>(path), sizeof path));
    return path;
}

class Panels : public testing::Test
{
protected:
    void TearDown() override { AppKitTesting::resetPanels(); }
};

TEST_F(Panels, AnswerInTheOrderQueued)
{
    AppKitTesting::answerOK("/tmp/chosen file");
    AppKitTesting::answerCancel();
    AppKitTesting::answerOKWithoutURL();
    AppKitTesting::answerException("NSInvalidArgumentException", "bad");
    NS::OpenPanel* panel = NS::OpenPanel::openPanel();
    EXPECT_EQ(panel->runModal(), NS::ModalResponseOK);
    ASSERT_NE(panel->URL(), nullptr);
    EXPECT_EQ(PathOf(panel->URL()), "/tmp/chosen file");
    EXPECT_EQ(panel->runModal(), NS::ModalResponseCancel);
    EXPECT_EQ(panel->URL(), nullptr);
    EXPECT_EQ(panel->runModal(), NS::ModalResponseOK);
    EXPECT_EQ(panel->URL(), nullptr);
    try {
        panel->runModal();
        ADD_FAILURE() << "no exception";
    } catch (const NS::Exception& exception) {
        EXPECT_EQ(exception.name(), "NSInvalidArgumentException");
        EXPECT_EQ(exception.reason(), "bad");
    }
    panel->release();
}

TEST_F(Panels, RecordHowEachPanelWasSetUp)
{
    AppKitTesting::answerCancel();
    AppKitTesting::answerCancel();
    NS::OpenPanel* open = NS::OpenPanel::openPanel();
    open->setCanChooseDirectories(true);
    open->setAllowsMultipleSelection(true);
    const void* types[] = {CFSTR("'TEXT'"), CFSTR("update")};
    CFArrayRef allowed = CFArrayCreate(nullptr, types, 2, &kCFTypeArrayCallBacks);
    open->setAllowedFileTypes(allowed);
    CFRelease(allowed);
    CFURLRef folder =
        CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>("/tmp"), 4, true);
    open->setDirectoryURL(folder);
    CFRelease(folder);
    open->runModal();
    open->release();
    NS::SavePanel* save = NS::SavePanel::savePanel();
    save->runModal();
    save->release();

    std::vector<AppKitTesting::Panel> panels = AppKitTesting::panelsRun();
    ASSERT_EQ(panels.size(), 2u);
    EXPECT_EQ(panels[0].fKind, "NSOpenPanel");
    EXPECT_TRUE(panels[0].fCanChooseDirectories);
    EXPECT_TRUE(panels[0].fAllowsMultipleSelection);
    EXPECT_EQ(panels[0].fAllowedFileTypes, (std::vector<std::string>{"'TEXT'", "update"}));
    EXPECT_EQ(panels[0].fDirectoryPath, "/tmp");
    EXPECT_EQ(panels[1].fKind, "NSSavePanel");
    EXPECT_FALSE(panels[1].fCanChooseDirectories);
    EXPECT_TRUE(panels[1].fAllowedFileTypes.empty());
    EXPECT_EQ(panels[1].fDirectoryPath, std::nullopt);
}

TEST_F(Panels, RunWithoutAnAnswerEndsTheProcessNamingThePanel)
{
    EXPECT_DEATH(
        {
            NS::SavePanel* save = NS::SavePanel::savePanel();
            save->runModal();
        },
        "NSSavePanel runModal: no answer queued");
}

} // namespace
