#include "File/FileLocation.h"
#include "File/Folder.h"
#include "TempFolder.h"
#include "UString/UStringConvertMac.h"
#include "Utf8Text.h"

#include <CoreFoundationTesting/Home.h>
#include <FoundationTesting/SearchPaths.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

using Pellix::FileSpecification;
using Pellix::Folder;

namespace {

// A temporary tree, with the home folder and the local domain re-rooted inside it.
class FileSpecificationTest : public testing::Test
{
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(fRoot.path() / "home");
        std::filesystem::create_directories(fRoot.path() / "local");
        CoreFoundationTesting::setHomeFolder(fRoot / "home");
        FoundationTesting::setLocalDomainRoot(fRoot / "local");
    }
    void TearDown() override
    {
        FoundationTesting::setLocalDomainRoot("");
        CoreFoundationTesting::setHomeFolder("");
    }

    FileSpecification Spec(const std::string& relative) const
    {
        return FileSpecification(U(fRoot / relative));
    }

    TempFolder fRoot;
};

TEST_F(FileSpecificationTest, NameNotYetWrittenInAnExistingFolderIsValid)
{
    FileSpecification spec(Spec("home"), U("new.txt"));
    EXPECT_TRUE(spec.IsValid());
    EXPECT_FALSE(spec.Exists());
    EXPECT_EQ(spec.GetName(), U("new.txt"));
    EXPECT_EQ(spec.GetPOSIXPath(), fRoot / "home/new.txt");
    EXPECT_EQ(spec.GetParentPath(), U(fRoot / "home"));
    fRoot.write("home/new.txt", "x");
    EXPECT_TRUE(spec.Exists());
    EXPECT_TRUE(spec.IsFile());
    EXPECT_TRUE(spec.InSameFolder(FileSpecification(Spec("home"), U("other"))));
}

TEST_F(FileSpecificationTest, PathInAMissingFolderHasNoParent)
{
    FileSpecification spec = Spec("missing/file");
    EXPECT_NE(spec.GetURL(), nullptr);
    EXPECT_EQ(spec.GetName(), U("file"));
    EXPECT_FALSE(spec.IsValid());
    EXPECT_EQ(spec.GetParentPath(), UString());
    EXPECT_FALSE(spec.GetParent().Exists());
}

TEST_F(FileSpecificationTest, UnreachableURLGivesAnEmptySpecification)
{
    FileSpecification missing(Spec("missing").GetURL());
    EXPECT_EQ(missing.GetURL(), nullptr);
    EXPECT_EQ(missing.GetName(), UString());
    EXPECT_TRUE(missing == FileSpecification());
    FileSpecification existing(Spec("home").GetURL());
    EXPECT_TRUE(existing.IsFolder());
    EXPECT_EQ(existing.GetName(), U("home"));
}

TEST_F(FileSpecificationTest, NamesAreAppendedAsPathComponents)
{
    Folder folder(Spec("home"));
    for (const char* name : {"Preset 1.preset", "a#b", "50%", "what?"}) {
        FileSpecification spec(folder, U(name));
        EXPECT_EQ(spec.GetPOSIXPath(), fRoot / ("home/" + std::string(name))) << name;
        fRoot.write(std::string("home/") + name, name);
        EXPECT_TRUE(spec.Exists()) << name;
        EXPECT_EQ(TempFolder::read(spec.GetPOSIXPath()), name);
        EXPECT_FALSE(Pellix::PathComponentIsDirectory(folder.GetURL(), UStringToCF(U(name))));
    }
    std::filesystem::create_directory(fRoot.path() / "home/with blank");
    EXPECT_TRUE(Pellix::PathComponentIsDirectory(folder.GetURL(), CFSTR("with blank")));
    FileSpecification inHome(FileSpecification(), U("at home 1"));
    EXPECT_FALSE(inHome.IsValid());
    EXPECT_EQ(inHome.GetPOSIXPath(), fRoot / "home/at home 1");
}

TEST_F(FileSpecificationTest, SubFolderFindsOrMakesTheFolderOnce)
{
    Folder folder(Spec("home"));
    FileSpecification first = folder.SubFolder(U("My Presets"));
    EXPECT_TRUE(first.IsFolder());
    EXPECT_TRUE(std::filesystem::is_directory(fRoot.path() / "home/My Presets"));
    FileSpecification second = folder.SubFolder(U("My Presets"));
    EXPECT_TRUE(second.IsFolder());
    EXPECT_TRUE(first == second);
    Folder missing(Spec("missing"));
    EXPECT_EQ(missing.SubFolder(U("x")).GetURL(), nullptr);
    EXPECT_FALSE(std::filesystem::exists(fRoot.path() / "missing"));
}

TEST_F(FileSpecificationTest, CopyToAnExistingNameFails)
{
    fRoot.write("home/file", "new");
    std::filesystem::create_directory(fRoot.path() / "target");
    fRoot.write("target/file", "old");
    Folder target(Spec("target"));
    EXPECT_EQ(Spec("home/file").CopyTo(target).GetURL(), nullptr);
    EXPECT_EQ(TempFolder::read(fRoot / "target/file"), "old");
    std::filesystem::create_directory(fRoot.path() / "empty");
    FileSpecification copy = Spec("home/file").CopyTo(Folder(Spec("empty")));
    EXPECT_TRUE(copy.Exists());
    EXPECT_EQ(TempFolder::read(copy.GetPOSIXPath()), "new");
}

TEST_F(FileSpecificationTest, CopyToWhatIsNotAFolderFailsAndCopiesNothing)
{
    std::filesystem::create_directory(fRoot.path() / "source");
    fRoot.write("source/file", "content");
    fRoot.write("plain", "");
    const std::pair<const char*, Folder> targets[] = {
        {"a missing folder", Folder(Spec("missing"))},
        {"a file", Folder(Spec("plain"))},
        {"an empty specification", Folder(FileSpecification())},
    };
    for (const auto& [name, target] : targets) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Spec("source/file").CopyTo(target).GetURL(), nullptr);
        EXPECT_FALSE(std::filesystem::exists(fRoot.path() / "home/file"));
    }
    EXPECT_FALSE(std::filesystem::exists(fRoot.path() / "missing"));
}

TEST_F(FileSpecificationTest, IterateFolderIncludesHiddenItems)
{
    fRoot.write("home/.dot", "");
    fRoot.write("home/plain", "");
    std::filesystem::create_directory(fRoot.path() / "home/sub");
    std::filesystem::create_directory(fRoot.path() / "home/.hidden folder");
    std::vector<FileSpecification> files;
    std::vector<FileSpecification> folders;
    ASSERT_TRUE(Folder(Spec("home")).IterateFolder(files, folders));
    auto names = [](const std::vector<FileSpecification>& specs) {
        std::set<std::string> result;
        for (const FileSpecification& spec : specs) {
            result.insert(spec.GetName().utf8_str());
        }
        return result;
    };
    EXPECT_EQ(names(files), (std::set<std::string>{".dot", "plain"}));
    EXPECT_EQ(names(folders), (std::set<std::string>{"sub", ".hidden folder"}));
    std::vector<FileSpecification> untouched(1);
    EXPECT_FALSE(Folder(Spec("missing")).IterateFolder(untouched, untouched));
    EXPECT_EQ(untouched.size(), 1u);
}

TEST_F(FileSpecificationTest, VolumesAndTheRootFolder)
{
    fRoot.write("a", "");
    fRoot.write("b", "");
    EXPECT_TRUE(Spec("a").OnSameVolume(Spec("b")));
    EXPECT_FALSE(Spec("a").OnSameVolume(FileSpecification(U("/proc/self/status"))));
    EXPECT_TRUE(FileSpecification(U("/")).IsRootFolder());
    EXPECT_FALSE(Spec("home").IsRootFolder());
    EXPECT_FALSE(FileSpecification(U("/")).GetVolumeName().empty());
    EXPECT_TRUE(Spec("a").GetVolume().IsFolder());
    EXPECT_FALSE(Spec("a").IsPackage());
}

TEST_F(FileSpecificationTest, EmptySpecificationsCompareWithoutACrash)
{
    FileSpecification a;
    FileSpecification b;
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a < b);
    EXPECT_FALSE(a == Spec("home"));
    EXPECT_TRUE(Spec("missing/x") < Spec("home/x"));
    EXPECT_TRUE(Spec("home/a") < Spec("home/b"));
    EXPECT_FALSE(a.Exists());
    EXPECT_FALSE(a.IsValid());
    EXPECT_EQ(a.GetFullPath(), UString());
}

TEST_F(FileSpecificationTest, StandardFoldersLieUnderTheReRootedFolders)
{
    EXPECT_EQ(Folder::GetFolderTypePath(Folder::kDocumentsFolder), U(fRoot / "home/Documents"));
    EXPECT_EQ(Folder::GetFolderTypePath(Folder::kApplicationSupportFolder),
              U(fRoot / "home/Library/Application Support"));
    EXPECT_EQ(Folder::GetFolderTypePath(Folder::kControlSurfacePlugInsFolder),
              U(fRoot / "local/Library/Audio/Plug-Ins/Vork Control Surface"));
    EXPECT_EQ(Folder::GetFolderTypePath(static_cast<Folder::FolderType>(3)), UString());
    EXPECT_EQ(Folder(static_cast<Folder::FolderType>(3)).GetURL(), nullptr);
}

} // namespace
