#include "ItemTrees.h"
#include "TempFolder.h"
#include "UString/UStringUtil.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>

using namespace Pellix;
using ItemTrees::Read;
using ItemTrees::Written;

namespace {

const std::string kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n\n";

std::string Document(const std::string& items)
{
    return kDeclaration + "<resource_list><XSET name=\"top\">" + items + "</XSET></resource_list>";
}

TEST(ItemFileFormatTest, WritesThePrefsExampleByteForByte)
{
    auto prefs = CreateContainer(U("prefs"));
    prefs->AddSInt32Item(U("count"), 3);
    prefs->AddUStringItem(U("title"), U("Hi"));
    std::string text = Written(*prefs);
    EXPECT_EQ(text, kDeclaration + "\n<resource_list>\n"
                                   "\t<XSET name=\"prefs\">\n"
                                   "\t\t<SINT name=\"count\" value=\"3\"/>\n"
                                   "\t\t<TEXT name=\"title\">Hi</TEXT>\n"
                                   "\t</XSET>\n"
                                   "</resource_list>");
    TempFolder folder;
    std::string file = folder.write("prefs.xml", text);
    EXPECT_EQ(std::system(("xmllint --noout '" + file + "'").c_str()), 0);
}

TEST(ItemFileFormatTest, TopLevelShapes)
{
    struct Case
    {
        const char* what;
        std::string document;
        const char* container; // null: no container is read
    };
    const Case cases[] = {
        {"root that is itself a container", "<XSET name=\"top\"><SINT name=\"a\" value=\"1\"/></XSET>",
         "top"},
        {"any nameless root", "<whatever><XSET name=\"top\"/></whatever>", "top"},
        {"first item not a container",
         "<resource_list><SINT name=\"a\" value=\"1\"/><XSET name=\"top\"/></resource_list>", nullptr},
        {"empty list", "<resource_list/>", nullptr},
    };
    for (const Case& c : cases) {
        auto container = Read(c.document);
        if (!c.container) {
            EXPECT_EQ(container, nullptr) << c.what;
            continue;
        }
        ASSERT_NE(container, nullptr) << c.what;
        EXPECT_EQ(container->GetName(), U(c.container)) << c.what;
        EXPECT_FALSE(container->HasChanged()) << c.what;
    }
}

TEST(ItemFileFormatTest, ReadsValuesOfEveryType)
{
    auto top = Read(Document(
        "<SINTX name=\"i\" value=\"-12\"/><DBLE name=\"d\" value=\"2.5\"/>"
        "<OSTY name=\"o\" value=\"abcd\"/><TEXT name=\"t\">text</TEXT>"
        "<TEXT name=\"v\" value=\"attribute\">ignored</TEXT><SINT name=\"big\" value=\"4294967297\"/>"
        "<TEXT name=\"one\">XML_SPACE_ENCODE</TEXT><TEXT name=\"blank\">   </TEXT>"
        "<!-- c --><TEXT name=\"commented\">x</TEXT><FOOD name=\"unknown\"/>"));
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(top->GetSInt32ItemValue(U("i")), -12);
    EXPECT_EQ(top->GetDoubleItemValue(U("d")), 2.5);
    EXPECT_EQ(top->GetOSTypeItemValue(U("o")), MakeItemType("abcd"));
    EXPECT_EQ(top->GetUStringItemValue(U("t")), U("text"));
    EXPECT_EQ(top->GetUStringItemValue(U("v")), U("attribute"));
    EXPECT_EQ(top->GetSInt32ItemValue(U("big")), 1);
    EXPECT_EQ(top->GetUStringItemValue(U("one")), U(" "));
    EXPECT_EQ(top->GetUStringItemValue(U("blank")), UString());
    EXPECT_EQ(top->GetUStringItem(U("commented"))->GetComment(), UString());
    EXPECT_EQ(top->GetNumItems(), 9u);
}

TEST(ItemFileFormatTest, LanguageSelection)
{
    const std::string file =
        Document("<TEXT name=\"a\">default</TEXT><TEXT name=\"a\" lang=\"dede\">deutsch</TEXT>"
                 "<TEXT name=\"first\" lang=\"dede\">nur deutsch</TEXT>"
                 "<TEXT name=\"b\" lang=\"frfr\">francais</TEXT><TEXT name=\"b\" lang=\"dede\">d</TEXT>"
                 "<TEXT name=\"short\" lang=\"de\">kurz</TEXT>");
    struct Case
    {
        const char* language;
        const char* a;
        const char* first;
        const char* b;
        unsigned int count;
    };
    const Case cases[] = {
        {"dede", "deutsch", "nur deutsch", "d", 3},
        {"frfr", "default", "", "francais", 2},
        {"enus", "default", "", "", 1},
    };
    for (const Case& c : cases) {
        auto top = Read(file, UStringToOSType(U(c.language)));
        ASSERT_NE(top, nullptr);
        EXPECT_EQ(top->GetUStringItemValue(U("a")), U(c.a)) << c.language;
        EXPECT_EQ(top->GetUStringItemValue(U("first")), U(c.first)) << c.language;
        EXPECT_EQ(top->GetUStringItemValue(U("b")), U(c.b)) << c.language;
        EXPECT_EQ(top->GetNumItems(), c.count) << c.language;
    }
    auto top = Read(file, UStringToOSType(U("de")));
    EXPECT_EQ(top->GetUStringItemValue(U("short")), U("kurz"));
}

TEST(ItemFileFormatTest, ChildElementsOfLeavesJoinTheContainerFirst)
{
    auto top = Read(Document("<SINT name=\"outer\" value=\"1\"><SINT name=\"inner\" value=\"2\"/></SINT>"
                             "<nameless><TEXT name=\"passed\">p</TEXT></nameless>"));
    ASSERT_NE(top, nullptr);
    ASSERT_EQ(top->GetNumItems(), 3u);
    EXPECT_EQ(top->GetNthItem(0)->GetName(), U("inner"));
    EXPECT_EQ(top->GetNthItem(1)->GetName(), U("outer"));
    EXPECT_EQ(top->GetUStringItemValue(U("passed")), U("p"));
}

TEST(ItemFileFormatTest, OtherPlatformsAreSkippedWithTheirChildren)
{
    auto top = Read(Document("<XSET name=\"win\" platform=\"WinX\"><SINT name=\"w\" value=\"1\"/></XSET>"
                             "<nameless platform=\"WinX\"><SINT name=\"w2\" value=\"1\"/></nameless>"
                             "<SINT name=\"mac\" value=\"2\" platform=\"MacX\"/>"));
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(top->GetNumItems(), 1u);
    EXPECT_EQ(top->GetSInt32ItemValue(U("mac")), 2);
}

TEST(ItemFileFormatTest, RawDataHoldsOnlyBytesTheTextCovers)
{
    struct Case
    {
        const char* element;
        std::vector<unsigned char> bytes;
    };
    const Case cases[] = {
        {"<DATA name=\"r\" size=\"4\">de ad\nBE ef 12</DATA>", {0xDE, 0xAD, 0xBE, 0xEF}},
        {"<DATA name=\"r\" size=\"-1\">0a1b</DATA>", {}},
        {"<DATA name=\"r\" size=\"1000000\">0a1b</DATA>", {0x0A, 0x1B}},
        {"<DATA name=\"r\" size=\"3\">0a\xC5\x81 1b2</DATA>", {0x0A, 0x1B}},
        {"<DATA name=\"r\"/>", {}},
    };
    for (const Case& c : cases) {
        auto top = Read(Document(c.element));
        ASSERT_NE(top, nullptr) << c.element;
        auto item = top->GetRawDataItem(U("r"));
        ASSERT_NE(item, nullptr) << c.element;
        ASSERT_EQ(item->Get()->fSize, c.bytes.size()) << c.element;
        EXPECT_TRUE(std::equal(c.bytes.begin(), c.bytes.end(), item->Get()->fData)) << c.element;
    }
}

TEST(ItemFileFormatTest, WritesCommentsAttributesAndDoubles)
{
    auto top = CreateContainer(U("top"));
    top->AddSInt32Item(U("c"), 1, U("a--b---c"));
    top->AddSInt32Item(U("h"), 2, U("-"));
    auto text = top->AddUStringItem(U("t"), U("x"));
    text->AddAttribute(U("value"), U("hidden"));
    text->AddAttribute(U("lang"), U("dede"));
    top->AddDoubleItem(U("one"), 1.0);
    top->AddDoubleItem(U("tenth"), 0.1);
    top->AddDoubleItem(U("huge"), 1e300);
    top->AddDoubleItem(U("tiny"), 1e-7);
    std::string written = Written(*top);
    for (const char* expected :
         {"<!--a-b-c-->", "<!---->", "<TEXT name=\"t\" lang=\"dede\">x</TEXT>",
          "<DBLE name=\"one\" value=\"1\"/>", "<DBLE name=\"tenth\" value=\"0.100000\"/>",
          "<DBLE name=\"tiny\" value=\"0.000000\"/>"}) {
        EXPECT_NE(written.find(expected), std::string::npos) << expected;
    }
    EXPECT_EQ(written.find("hidden"), std::string::npos);
    auto back = Read(written, MakeItemType("dede"));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->GetDoubleItemValue(U("huge")), 1e300);
}

// A 0 byte ends the code's text, so only trailing ones come back; bytes above 127 travel as the
// Latin-1 characters of the same value.
TEST(ItemFileFormatTest, FourCharacterCodesLoseInnerZeroBytes)
{
    struct Case
    {
        unsigned int code;
        bool survives;
    };
    const Case cases[] = {
        {MakeItemType("abcd"), true}, {0x61620063, false}, {0x00616263, false},
        {0x61626300, true},           {0x616263E9, true},
    };
    for (const Case& c : cases) {
        auto top = CreateContainer(U("top"));
        top->AddOSTypeItem(U("o"), c.code);
        auto back = Read(Written(*top));
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(back->GetOSTypeItemValue(U("o")) == c.code, c.survives) << std::hex << c.code;
    }
}

// Every tree the writer completes reads back equal (but for the losses the format documents);
// values it cannot store make it refuse instead.
TEST(ItemFileFormatTest, WhatIsWrittenReadsBack)
{
    const UString control = U("bad\x01value");
    const UString loneSurrogate(static_cast<UString::value_type>(0xDC01));
    struct Case
    {
        const char* what;
        std::function<void(ContainerItem&)> fill;
        bool written;
    };
    const unsigned char bytes[40] = {1, 2, 3, 0xFF, 0, 0x10};
    const Case cases[] = {
        {"every type",
         [&](ContainerItem& c) {
             c.AddSInt32Item(U("i"), std::numeric_limits<int>::min());
             c.AddDoubleItem(U("d"), -2.5);
             c.AddOSTypeItem(U("o"), MakeItemType("TEXT"));
             c.AddUStringItem(U("t"), U("a <&> \"quoted\" caf\xC3\xA9 \xF0\x9F\x98\x80"));
             c.AddUStringItem(U("space"), U(" "));
             c.AddRawDataItem(U("r"), bytes, sizeof bytes);
             c.AddRawDataItem(U("none"), bytes, 0);
             c.AddContainerItem(U("sub"))->AddContainerItem(U("deeper"))->AddSInt32Item(U("x"), 1, U("--"));
             c.AddUStringItem(U("lines"), U("one\r\ntwo\tthree"));
         },
         true},
        {"comment ending in hyphens", [](ContainerItem& c) { c.AddSInt32Item(U("i"), 1, U("note---")); },
         true},
        {"control in text", [&](ContainerItem& c) { c.AddUStringItem(U("t"), control); }, false},
        {"control in name", [&](ContainerItem& c) { c.AddSInt32Item(control, 1); }, false},
        {"lone surrogate", [&](ContainerItem& c) { c.AddUStringItem(U("t"), loneSurrogate); }, false},
        {"control in comment", [&](ContainerItem& c) { c.AddSInt32Item(U("i"), 1, control); }, false},
    };
    for (const Case& c : cases) {
        auto top = CreateContainer(U("top"));
        c.fill(*top);
        std::string text;
        try {
            text = Written(*top);
        } catch (int error) {
            EXPECT_EQ(error, -50) << c.what;
            EXPECT_FALSE(c.written) << c.what;
            continue;
        }
        EXPECT_TRUE(c.written) << c.what;
        auto back = Read(text);
        ASSERT_NE(back, nullptr) << c.what;
        EXPECT_EQ(ItemTrees::Difference(*top, *back), "") << c.what;
    }
}

} // namespace
