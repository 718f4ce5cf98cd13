#include "Utf8Text.h"
#include "XML/XMLSerializable.h"
#include "XML/XMLWriter.h"

#include "Basics/VorkError.h"

#include <DarwinTesting/LogCapture.h>

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

using DarwinTesting::LogCapture;
using DarwinTesting::LogSource;
using namespace Pellix;

namespace {

TEST(ItemTreeTest, NewestChildOfANameIsFoundAndTheOlderAfterItsRemoval)
{
    ContainerItem container(U("c"));
    auto first = container.AddSInt32Item(U("n"), 1);
    container.AddSInt32Item(U("other"), 7);
    auto second = container.AddSInt32Item(U("n"), 2);
    EXPECT_EQ(container.GetItem(Item::kSInt32, U("n")), second);
    container.RemoveItem(second);
    EXPECT_EQ(container.GetItem(Item::kSInt32, U("n")), first);
    EXPECT_EQ(container.GetSInt32ItemValue(U("other")), 7);
    container.RemoveItem(first);
    EXPECT_EQ(container.GetItem(Item::kSInt32, U("n")), nullptr);
    EXPECT_EQ(container.GetNumItems(), 1u);
}

TEST(ItemTreeTest, NewestChildOfAnotherTypeHidesOlderOnes)
{
    ContainerItem container(U("c"));
    container.AddSInt32Item(U("n"), 5);
    container.AddUStringItem(U("n"), U("text"));
    EXPECT_EQ(container.GetSInt32Item(U("n")), nullptr);
    EXPECT_EQ(container.GetSInt32ItemValue(U("n")), 0);
    EXPECT_EQ(container.GetUStringItemValue(U("n")), U("text"));
}

TEST(ItemTreeTest, MissingItemsAnswerDefaults)
{
    ContainerItem container(U("c"));
    container.AddDoubleItem(U("d"), 1.5);
    EXPECT_EQ(container.GetNthItem(container.GetNumItems()), nullptr);
    EXPECT_EQ(container[0], container.GetNthItem(0));
    EXPECT_EQ(container.GetDoubleItemValue(U("missing")), 0.0);
    EXPECT_EQ(container.GetOSTypeItemValue(U("missing")), 0u);
    EXPECT_EQ(container.GetUStringItemValue(U("missing")), UString());
    EXPECT_EQ(container.GetContainerItem(U("d")), nullptr);
    EXPECT_EQ(SInt32FromItem(nullptr), nullptr);
    EXPECT_EQ(ContainerFromItem(container.GetNthItem(0)), nullptr);
}

// Adding these would leave the container without a sound shape: each is refused, nothing changes.
TEST(ItemTreeTest, RefusesSelfCyclesAndNull)
{
    auto outer = CreateContainer(U("outer"));
    auto middle = outer->AddContainerItem(U("middle"));
    auto inner = middle->AddContainerItem(U("inner"));
    struct Case
    {
        const char* what;
        std::shared_ptr<ContainerItem> target;
        std::shared_ptr<Item> item;
    };
    const Case cases[] = {
        {"itself", outer, outer},
        {"its holder", middle, outer},
        {"its holder's holder", inner, outer},
        {"null", outer, nullptr},
    };
    for (const Case& c : cases) {
        LogCapture capture;
        unsigned int before = c.target->GetNumItems();
        try {
            c.target->AddItem(c.item);
            ADD_FAILURE() << c.what << " was added";
        } catch (int error) {
            EXPECT_EQ(error, -50) << c.what;
        }
        EXPECT_EQ(c.target->GetNumItems(), before) << c.what;
        EXPECT_EQ(c.target->GetContainerItem(U("outer")), nullptr) << c.what;
        ASSERT_EQ(capture.texts(LogSource::OSLog).size(), 1u) << c.what;
        EXPECT_EQ(capture.texts(LogSource::OSLog)[0].rfind(
                      "FailString XMLSerializable at file:PellixLib2/Source/XML/XMLSerializable line:", 0),
                  0u)
            << c.what;
    }
    EXPECT_EQ(outer->GetContainerItem(U("middle")), middle);
}

TEST(ItemTreeTest, SettersCountOnlyRealChanges)
{
    auto integer = CreateSInt32(U("i"), 3);
    integer->Set(3);
    EXPECT_FALSE(integer->HasChanged());
    integer->Set(4);
    EXPECT_TRUE(integer->HasChanged());

    auto number = CreateDouble(U("d"), 1.0);
    number->Set(std::nan(""));
    EXPECT_FALSE(number->HasChanged());
    EXPECT_EQ(number->Get(), 1.0);
    number->Set(1.0);
    EXPECT_FALSE(number->HasChanged());

    auto text = CreateUString(U("t"), U("same"));
    text->Set(U("same"));
    EXPECT_FALSE(text->HasChanged());

    auto code = CreateOSType(U("o"), 5);
    code->Set(5);
    EXPECT_FALSE(code->HasChanged());

    auto data = CreateRawData(U("r"), nullptr);
    data->Set(nullptr);
    EXPECT_TRUE(data->HasChanged());
}

TEST(ItemTreeTest, WritingClearsChangesAndRemovalLeavesThemAlone)
{
    auto root = CreateContainer(U("root"));
    auto child = root->AddContainerItem(U("child"));
    auto value = child->AddSInt32Item(U("v"), 1);
    EXPECT_TRUE(root->HasChanged());
    std::ostringstream out;
    root->WriteToFile(&out);
    EXPECT_FALSE(root->HasChanged());
    value->Set(2);
    EXPECT_TRUE(root->HasChanged());
    std::ostringstream again;
    root->WriteToFile(&again);
    root->RemoveItem(child);
    EXPECT_FALSE(root->HasChanged());
}

TEST(ItemTreeTest, RawDataIsCopiedAndReadBackByCount)
{
    ContainerItem container(U("c"));
    const unsigned char bytes[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    container.AddRawDataItem(U("empty"), bytes, 0);
    ASSERT_NE(container.GetRawDataItem(U("empty")), nullptr);
    EXPECT_EQ(container.GetRawDataItem(U("empty"))->Get()->fSize, 0u);

    container.AddRawDataItem(U("ten"), bytes, 10);
    unsigned char four[4] = {};
    EXPECT_EQ(container.GetRawDataItemValue(U("ten"), four, 4), 4u);
    EXPECT_EQ(four[3], 3);
    EXPECT_EQ(container.GetRawDataItemValue(U("ten"), nullptr, 4), 10u);
    EXPECT_NE(container.GetRawDataItem(U("ten"))->Get()->fData, bytes);

    EXPECT_THROW(container.AddRawDataItem(U("null"), nullptr, 3), VorkError);
    EXPECT_EQ(container.GetRawDataItem(U("null")), nullptr);
    container.AddItem(CreateRawData(U("none"), std::make_shared<RawDataBuffer>()));
    EXPECT_EQ(container.GetRawDataItemValue(U("none"), nullptr, 0), 0u);
}

TEST(ItemTreeTest, AttributesAndComments)
{
    auto item = CreateUString(U("t"), U("x"));
    UString value = U("untouched");
    EXPECT_FALSE(item->FindAttribute(U("a"), value));
    item->AddAttribute(U("a"), U("1"));
    item->AddAttribute(AttributePair(U("a"), U("2")));
    ASSERT_TRUE(item->FindAttribute(U("a"), value));
    EXPECT_EQ(value, U("2"));
    auto list = std::make_unique<std::vector<AttributePair>>();
    list->emplace_back(U("b"), U("3"));
    item->AdoptAttributes(std::move(list));
    EXPECT_FALSE(item->FindAttribute(U("a"), value));
    EXPECT_EQ(item->GetAttributeList()->size(), 1u);

    ContainerItem container(U("c"));
    container.AddSInt32Item(U("i"), 1, U("note"));
    EXPECT_EQ(container.GetSInt32Item(U("i"))->GetComment(), U("note"));
    EXPECT_EQ(container.AddContainerItem(U("x"), U("sub"))->GetComment(), U("sub"));
}

} // namespace
