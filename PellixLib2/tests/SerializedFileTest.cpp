#include "ChildProcess.h"
#include "FixtureBundle.h"
#include "ItemTrees.h"
#include "ResourceAccess/ResourceAccess.h"
#include "XML/XMLSerializedFile.h"

#include "Basics/VorkError.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <iostream>
#include <set>

using namespace Pellix;

namespace {

bool SameRect(const Rect& a, const Rect& b)
{
    return a.origin.x == b.origin.x && a.origin.y == b.origin.y && a.width == b.width && a.height == b.height;
}

TEST(SerializedFileTest, RectanglesRoundTrip)
{
    const Rect cases[] = {
        {{10, 20}, 30, 40},
        {{10, 20}, -4, 6},
        {{-1.5, 2.25}, 3, -7.5},
        {{0, 0}, 0, 0},
    };
    for (const Rect& rect : cases) {
        auto container = CreateContainer(U("c"));
        AddRect(container, U("r"), rect);
        EXPECT_TRUE(SameRect(GetRect(container, U("r")), rect)) << rect.origin.x << " " << rect.width;
    }
    auto container = CreateContainer(U("c"));
    AddRect(container, U("r"), Rect{{10, 20}, -4, 6});
    auto stored = container->GetContainerItem(U("r"));
    ASSERT_EQ(stored->GetNumItems(), 4u);
    EXPECT_EQ(stored->GetNthItem(0)->GetName(), U("kTop"));
    EXPECT_EQ(stored->GetDoubleItemValue(U("kTop")), 20);
    EXPECT_EQ(stored->GetDoubleItemValue(U("kLeft")), 6);
    EXPECT_EQ(stored->GetDoubleItemValue(U("kWidth")), -4);
}

TEST(SerializedFileTest, PointsAreStoredAsIntegers)
{
    auto container = CreateContainer(U("c"));
    AddPoint(container, U("p"), Point{2.9, -2.9});
    EXPECT_EQ(container->GetContainerItem(U("p"))->GetSInt32ItemValue(U("kX")), 2);
    EXPECT_EQ(container->GetContainerItem(U("p"))->GetSInt32ItemValue(U("kY")), -2);
    Point point = GetPoint(container, U("p"));
    EXPECT_EQ(point.x, 2.0);
    EXPECT_EQ(point.y, -2.0);
    AddPoint(container, U("far"), Point{1e20, std::nan("")});
    EXPECT_EQ(GetPoint(container, U("far")).x, 2147483647.0);
    EXPECT_EQ(GetPoint(container, U("far")).y, 0.0);

    EXPECT_THROW(GetPoint(container, U("missing")), VorkError);
    EXPECT_THROW(GetRect(container, U("missing")), VorkError);
    container->AddContainerItem(U("partial"))->AddSInt32Item(U("kX"), 5);
    EXPECT_EQ(GetPoint(container, U("partial")).y, 0.0);
}

TEST(SerializedFileTest, NullContainersFail)
{
    for (const auto& call : std::vector<std::function<void()>>{
             [] { AddRect(nullptr, U("r"), Rect{}); }, [] { GetRect(nullptr, U("r")); },
             [] { AddPoint(nullptr, U("p"), Point{}); }, [] { GetPoint(nullptr, U("p")); }}) {
        try {
            call();
            ADD_FAILURE() << "no failure";
        } catch (const VorkError& error) {
            EXPECT_EQ(error.GetErrorCode(), -108);
        }
    }
}

TEST(SerializedFileTest, FilesThatAreNotItemFilesReadAsNull)
{
    TempFolder folder;
    for (const char* content : {"not xml at all", "<resource_list><XSET name='x'>", ""}) {
        std::string file = folder.write("file", content);
        EXPECT_EQ(ReadSerializedFile(FileSpecification(U(file))), nullptr) << content;
    }
    EXPECT_EQ(ReadSerializedFile(FileSpecification(U(folder / "missing"))), nullptr);
    EXPECT_EQ(ReadSerializedFile(FileSpecification(U(folder.path().string()))), nullptr);
    EXPECT_EQ(ReadSerializedFile(FileSpecification()), nullptr);
}

// A file the user names must not bring another file's content into the tree.
TEST(SerializedFileTest, ExternalEntitiesStayOutOfTheTree)
{
    TempFolder folder;
    std::string secret = folder.write("secret", "SECRET");
    std::string file =
        folder.write("settings.xml", "<!DOCTYPE resource_list [<!ENTITY e SYSTEM 'file://" + secret +
                                         "'>]><resource_list><XSET name='s'><TEXT name='t'>x&e;y</TEXT>"
                                         "</XSET></resource_list>");
    auto settings = ReadSerializedFile(FileSpecification(U(file)));
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(settings->GetUStringItemValue(U("t")), U("xy"));
}

TEST(SerializedFileTest, DuplicateIsAnIndependentDeepCopy)
{
    auto source = CreateContainer(U("root"));
    source->AddSInt32Item(U("i"), 1);
    source->AddOSTypeItem(U("o"), MakeItemType("abcd"));
    auto inner = source->AddContainerItem(U("inner"));
    inner->AddDoubleItem(U("d"), 2.5);
    const unsigned char bytes[3] = {1, 2, 3};
    inner->AddRawDataItem(U("data"), bytes, 3);
    inner->AddItem(CreateRawData(U("empty"), std::make_shared<RawDataBuffer>()));
    inner->AddUStringItem(U("t"), U("text"));

    auto copy = DuplicateContainer(source);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(ItemTrees::Difference(*source, *copy), "");
    auto copiedInner = copy->GetContainerItem(U("inner"));
    EXPECT_NE(copiedInner, inner);
    EXPECT_NE(copiedInner->GetRawDataItem(U("data"))->Get(), inner->GetRawDataItem(U("data"))->Get());
    copiedInner->GetRawDataItem(U("data"))->Get()->fData[0] = 9;
    copiedInner->GetDoubleItem(U("d"))->Set(7);
    EXPECT_EQ(inner->GetRawDataItem(U("data"))->Get()->fData[0], 1);
    EXPECT_EQ(inner->GetDoubleItemValue(U("d")), 2.5);
    EXPECT_EQ(DuplicateContainer(nullptr), nullptr);
}

class WriteSerializedFileTest : public testing::Test
{
protected:
    FileSpecification Target() const { return FileSpecification(U(fFolder / "prefs.xml")); }
    std::set<std::string> Entries() const
    {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(fFolder.path())) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }

    TempFolder fFolder;
};

TEST_F(WriteSerializedFileTest, ReplacesTheFileWhole)
{
    fFolder.write("prefs.xml", std::string(10000, 'x'));
    auto container = CreateContainer(U("prefs"));
    container->AddSInt32Item(U("count"), 3);
    WriteSerializedFile(Target(), container);
    EXPECT_EQ(TempFolder::read(fFolder / "prefs.xml"), ItemTrees::Written(*container));
    auto back = ReadSerializedFile(Target());
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->GetSInt32ItemValue(U("count")), 3);
    EXPECT_EQ(Entries(), std::set<std::string>{"prefs.xml"});
}

TEST_F(WriteSerializedFileTest, RefusedWriteLeavesTheOldFile)
{
    fFolder.write("prefs.xml", "old content");
    auto container = CreateContainer(U("prefs"));
    container->AddUStringItem(U("bad"), U("a\x01"));
    try {
        WriteSerializedFile(Target(), container);
        FAIL() << "written";
    } catch (int error) {
        EXPECT_EQ(error, -50);
    }
    EXPECT_EQ(TempFolder::read(fFolder / "prefs.xml"), "old content");
    EXPECT_EQ(Entries(), std::set<std::string>{"prefs.xml"});

    WriteSerializedFile(Target(), nullptr);
    EXPECT_EQ(TempFolder::read(fFolder / "prefs.xml"), "old content");
}

TEST_F(WriteSerializedFileTest, FolderInTheWayIsNotReplaced)
{
    std::filesystem::create_directory(fFolder.path() / "prefs.xml");
    fFolder.write("prefs.xml/inside", "kept");
    try {
        WriteSerializedFile(Target(), CreateContainer(U("prefs")));
        FAIL() << "written";
    } catch (int error) {
        EXPECT_EQ(error, -50);
    }
    EXPECT_EQ(TempFolder::read(fFolder / "prefs.xml/inside"), "kept");
    EXPECT_EQ(Entries(), std::set<std::string>{"prefs.xml"});
}

TEST(SerializedFileTest, ReadsResourcesOfTheChosenBundle)
{
    RunInChildProcess([] {
        FixtureBundle bundle(
            "org.tide.pellix.tests.serialized",
            {{"settings.xml", "<resource_list><XSET name='s'><SINT name='n' value='4'/></XSET>"
                              "</resource_list>"}});
        ResourceAccess::Instance().SetBundleID(U(bundle.identifier()));
        auto settings = ReadSerializedResourceFile(U("settings"), U("xml"));
        bool found = settings && settings->GetSInt32ItemValue(U("n")) == 4;
        bool missing = ReadSerializedResourceFile(U("missing"), U("xml")) == nullptr;
        std::cerr << "found " << found << " missing " << missing << std::endl;
        return found && missing;
    });
}

} // namespace
