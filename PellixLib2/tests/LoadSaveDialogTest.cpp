#include "File/LoadSaveDialog.h"
#include "TempFolder.h"
#include "Utf8Text.h"

#include <AppKitTesting/Panels.h>
#include <Foundation/NSHFSFileTypes.h>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using Pellix::FileSpecification;
using Pellix::LoadSaveDialog;

namespace {

class LoadSaveDialogTest : public testing::Test
{
protected:
    void TearDown() override { AppKitTesting::resetPanels(); }

    const std::vector<LoadSaveDialog::FileFilter> fFilters{{0, U("update")}};
    TempFolder fFolder;
};

TEST_F(LoadSaveDialogTest, CancelGivesNothing)
{
    AppKitTesting::answerCancel();
    EXPECT_EQ(LoadSaveDialog::DoOpenDialog(0, FileSpecification(), fFilters).GetURL(), nullptr);

    std::string file = fFolder.write("kept", "x");
    FileSpecification chosen(U(file));
    AppKitTesting::answerCancel();
    EXPECT_EQ(LoadSaveDialog::DoOpenDialog(0, FileSpecification(), fFilters, chosen), nullptr);
    EXPECT_EQ(chosen.GetURL(), nullptr);

    chosen = FileSpecification(U(file));
    AppKitTesting::answerCancel();
    EXPECT_EQ(LoadSaveDialog::DoSaveAsDialog(0, FileSpecification(), fFilters[0], chosen), nullptr);
    EXPECT_EQ(chosen.GetPOSIXPath(), file);
}

TEST_F(LoadSaveDialogTest, OpenPanelOffersEachFilterTypeAndExtension)
{
    AppKitTesting::answerCancel();
    AppKitTesting::answerCancel();
    LoadSaveDialog::DoOpenDialog(0, FileSpecification(), fFilters);
    FileSpecification chosen;
    LoadSaveDialog::DoSaveAsDialog(0, FileSpecification(), fFilters[0], chosen);
    CFStringRef typeOfZero = NSFileTypeForHFSTypeCode(0);
    char text[16] = {};
    CFStringGetCString(typeOfZero, text, sizeof text, kCFStringEncodingUTF8);
    CFRelease(typeOfZero);
    std::vector<AppKitTesting::Panel> panels = AppKitTesting::panelsRun();
    ASSERT_EQ(panels.size(), 2u);
    EXPECT_EQ(panels[0].fKind, "NSOpenPanel");
    EXPECT_EQ(panels[0].fAllowedFileTypes, (std::vector<std::string>{text, "update"}));
    EXPECT_FALSE(panels[0].fCanChooseDirectories);
    EXPECT_FALSE(panels[0].fAllowsMultipleSelection);
    EXPECT_EQ(panels[1].fKind, "NSSavePanel");
    EXPECT_EQ(panels[1].fAllowedFileTypes, std::vector<std::string>{"update"});
}

TEST_F(LoadSaveDialogTest, OpenPanelStartsAtTheDefaultLocation)
{
    std::string file = fFolder.write("current.update", "");
    AppKitTesting::answerCancel();
    AppKitTesting::answerCancel();
    LoadSaveDialog::DoOpenDialog(0, FileSpecification(U(file)), fFilters);
    LoadSaveDialog::DoOpenDialog(0, FileSpecification(U(fFolder.path().string())), fFilters);
    std::vector<AppKitTesting::Panel> panels = AppKitTesting::panelsRun();
    ASSERT_EQ(panels.size(), 2u);
    EXPECT_EQ(panels[0].fDirectoryPath, fFolder.path().string());
    EXPECT_EQ(panels[1].fDirectoryPath, fFolder.path().string());
}

TEST_F(LoadSaveDialogTest, ChosenFileIsOpened)
{
    std::string file = fFolder.write("chosen.update", "content");
    AppKitTesting::answerOK(file);
    EXPECT_EQ(LoadSaveDialog::DoOpenDialog(0, FileSpecification(), fFilters).GetPOSIXPath(), file);
    AppKitTesting::answerOK(file);
    FileSpecification chosen;
    std::unique_ptr<std::istream> in = LoadSaveDialog::DoOpenDialog(0, FileSpecification(), fFilters, chosen);
    ASSERT_NE(in, nullptr);
    std::string content;
    *in >> content;
    EXPECT_EQ(content, "content");
    EXPECT_EQ(chosen.GetPOSIXPath(), file);
}

TEST_F(LoadSaveDialogTest, NoURLOrAPanelExceptionGivesNothing)
{
    FileSpecification chosen(U(fFolder.write("kept", "")));
    AppKitTesting::answerOKWithoutURL();
    AppKitTesting::answerException("NSInternalInconsistencyException", "panel failed");
    AppKitTesting::answerOKWithoutURL();
    AppKitTesting::answerException("NSInternalInconsistencyException", "panel failed");
    EXPECT_EQ(LoadSaveDialog::DoOpenDialog(0, FileSpecification(), fFilters).GetURL(), nullptr);
    EXPECT_EQ(LoadSaveDialog::DoOpenDialog(0, FileSpecification(), fFilters).GetURL(), nullptr);
    EXPECT_EQ(LoadSaveDialog::DoSaveAsDialog(0, FileSpecification(), fFilters[0], chosen), nullptr);
    EXPECT_EQ(LoadSaveDialog::DoSaveAsDialog(0, FileSpecification(), fFilters[0], chosen), nullptr);
    EXPECT_EQ(chosen.GetName(), U("kept"));
}

TEST_F(LoadSaveDialogTest, SaveTruncatesAnExistingFile)
{
    std::string file = fFolder.write("saved.update", "a much longer old content");
    AppKitTesting::answerOK(file);
    FileSpecification chosen;
    std::unique_ptr<std::ostream> out =
        LoadSaveDialog::DoSaveAsDialog(0, FileSpecification(), fFilters[0], chosen);
    ASSERT_NE(out, nullptr);
    *out << "new";
    out.reset();
    EXPECT_EQ(TempFolder::read(file), "new");
    EXPECT_EQ(chosen.GetPOSIXPath(), file);

    AppKitTesting::answerOK(fFolder / "missing/saved.update");
    EXPECT_EQ(LoadSaveDialog::DoSaveAsDialog(0, FileSpecification(), fFilters[0], chosen), nullptr);
    EXPECT_EQ(chosen.GetPOSIXPath(), file);
}

// A bound UNIX socket exists but cannot be opened as a file, even by root.
TEST_F(LoadSaveDialogTest, FileThatCannotBeOpenedGivesAFailedStream)
{
    std::string path = fFolder / "socket.update";
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    path.copy(address.sun_path, path.size());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    AppKitTesting::answerOK(path);
    FileSpecification chosen;
    std::unique_ptr<std::istream> in = LoadSaveDialog::DoOpenDialog(0, FileSpecification(), fFilters, chosen);
    close(fd);
    ASSERT_NE(in, nullptr);
    EXPECT_TRUE(in->fail());
}

} // namespace
