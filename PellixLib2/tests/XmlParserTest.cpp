#include "XML/XMLParser.h"
#include "LoggedLines.h"
#include "TempFolder.h"
#include "Utf8Text.h"

#include <DarwinTesting/LogCapture.h>

#include <gtest/gtest.h>

#include <sstream>
#include <string>

using DarwinTesting::LogCapture;
using DarwinTesting::LogSource;
using Pellix::AttributePair;
using Pellix::Name;
using Pellix::Parser;

namespace {

// A parser over its own copy of the document.
struct Document
{
    explicit Document(const std::string& text) : fIn(text), fParser(fIn, Parser::kNoValidation) {}

    std::istringstream fIn;
    Parser fParser;
};

bool LoggedParserFailure(const LogCapture& capture)
{
    return LoggedLineStartingWith(capture, "FailString Pellix at file:PellixLib2/Source/XML/XMLParser line:");
}

TEST(XmlParserTest, TextBeforeAChildStopsTheDescentAndStaysReadable)
{
    Document doc("<r>hello<c/></r>");
    ASSERT_TRUE(doc.fParser.DownToChild());
    EXPECT_FALSE(doc.fParser.DownToChild());
    EXPECT_EQ(doc.fParser.ReadText(), U("hello"));
    ASSERT_TRUE(doc.fParser.DownToChild());
    EXPECT_EQ(doc.fParser.CurrentElement(), Name("c"));
}

TEST(XmlParserTest, EmptyTagHasNoChildNoTextAndLeavesWithoutReading)
{
    Document doc("<r><e/><f>after</f></r>");
    ASSERT_TRUE(doc.fParser.DownToChild());
    ASSERT_TRUE(doc.fParser.DownToChild());
    EXPECT_FALSE(doc.fParser.DownToChild());
    EXPECT_EQ(doc.fParser.ReadText(), UString());
    doc.fParser.UpToParent();
    ASSERT_TRUE(doc.fParser.DownToChild());
    EXPECT_EQ(doc.fParser.CurrentElement(), Name("f"));
    EXPECT_EQ(doc.fParser.ReadText(), U("after"));
}

TEST(XmlParserTest, TextReadsAsWritten)
{
    struct Case
    {
        const char* document;
        const char* text;
    };
    const Case cases[] = {
        {"<r>XML_SPACE_ENCODE</r>", " "},
        {"<r> </r>", ""},
        {"<r>first<!-- note -->second</r>", "first"},
        {"<r>a<![CDATA[<b>]]>c</r>", "a<b>c"},
        {"<r>caf\xC3\xA9</r>", "caf\xC3\xA9"},
    };
    for (const Case& c : cases) {
        Document doc(c.document);
        ASSERT_TRUE(doc.fParser.DownToChild()) << c.document;
        EXPECT_EQ(doc.fParser.ReadText(), U(c.text)) << c.document;
    }
}

TEST(XmlParserTest, CommentAfterTextIsConsumed)
{
    Document doc("<r><a>first<!--x-->second<b/></a><c/></r>");
    ASSERT_TRUE(doc.fParser.DownToChild());
    ASSERT_TRUE(doc.fParser.DownToChild());
    EXPECT_EQ(doc.fParser.ReadText(), U("first"));
    EXPECT_EQ(doc.fParser.ReadText(), U("second"));
    ASSERT_TRUE(doc.fParser.DownToChild());
    EXPECT_EQ(doc.fParser.CurrentElement(), Name("b"));
}

TEST(XmlParserTest, NamedDescentSkipsOtherSiblingsWithTheirSubtrees)
{
    Document doc("<r xmlns:n='urn:n'><x><y><wanted/></y></x><n:wanted/><wanted id='1'><in/></wanted>"
                 "<wanted id='2'/></r>");
    ASSERT_TRUE(doc.fParser.DownToChild());
    ASSERT_TRUE(doc.fParser.DownToChild(Name("wanted")));
    UString id;
    EXPECT_TRUE(doc.fParser.ReadAttribute(Name("id"), id));
    EXPECT_EQ(id, U("1"));
    doc.fParser.UpToParent();
    bool found = false;
    ASSERT_TRUE(doc.fParser.DownToReqChildren(Name("wanted"), found));
    EXPECT_TRUE(found);
    EXPECT_TRUE(doc.fParser.ReadAttribute(Name("id"), id));
    EXPECT_EQ(id, U("2"));
    doc.fParser.UpToParent();
    EXPECT_FALSE(doc.fParser.DownToChild(Name("wanted")));
}

TEST(XmlParserTest, NamedDescentMatchesTheNamespace)
{
    Document doc("<r xmlns:n='urn:n'><wanted id='plain'/><n:wanted id='ns'/></r>");
    ASSERT_TRUE(doc.fParser.DownToChild());
    ASSERT_TRUE(doc.fParser.DownToChild(Name("wanted", "urn:n")));
    UString id;
    EXPECT_TRUE(doc.fParser.ReadAttribute(Name("id"), id));
    EXPECT_EQ(id, U("ns"));
}

TEST(XmlParserTest, ProcessingInstructionsComeOnlyFromTheQueueOldestFirst)
{
    Document doc("<?first one?><r><?second two?><c/></r>");
    doc.fParser.CollectProcessingInstructions(true);
    ASSERT_TRUE(doc.fParser.DownToChild());
    ASSERT_TRUE(doc.fParser.DownToChild());
    EXPECT_EQ(doc.fParser.CurrentElement(), Name("c"));
    UString target;
    UString data;
    ASSERT_TRUE(doc.fParser.GetProcessingInstruction(target, data));
    EXPECT_EQ(target, U("first"));
    EXPECT_EQ(data, U("one"));
    ASSERT_TRUE(doc.fParser.GetProcessingInstruction(target, data));
    EXPECT_EQ(target, U("second"));
    EXPECT_FALSE(doc.fParser.GetProcessingInstruction(target, data));
}

class SkipNamed : public Parser::Filter
{
public:
    SkipNamed(Parser& parser, const char* name) : fParser(parser), fName(name) {}
    bool SkipCurrentElement() override { return fParser.CurrentElement() == fName; }

private:
    Parser& fParser;
    Name fName;
};

TEST(XmlParserTest, FilteredElementsAreNotThere)
{
    Document doc("<r><skip><keep/></skip><keep/><skip/></r>");
    ASSERT_TRUE(doc.fParser.DownToChild());
    doc.fParser.SetFilter(std::make_unique<SkipNamed>(doc.fParser, "skip"));
    ASSERT_TRUE(doc.fParser.DownToChild());
    EXPECT_EQ(doc.fParser.CurrentElement(), Name("keep"));
    doc.fParser.UpToParent();
    EXPECT_FALSE(doc.fParser.DownToChild());
}

TEST(XmlParserTest, AllAttributesKeepTheirPrefixesInDocumentOrder)
{
    Document doc("<r xmlns:p='urn:p' b='2' p:a='1'/>");
    ASSERT_TRUE(doc.fParser.DownToChild());
    std::vector<AttributePair> list;
    ASSERT_TRUE(doc.fParser.ReadAllAttributes(list));
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].fName, U("xmlns:p"));
    EXPECT_EQ(list[1].fName, U("b"));
    EXPECT_EQ(list[2].fName, U("p:a"));
    EXPECT_EQ(list[2].fValue, U("1"));
    UString value;
    EXPECT_TRUE(doc.fParser.ReadAttribute(Name("a", "urn:p"), value));
    EXPECT_FALSE(doc.fParser.ReadAttribute(Name("a"), value));
    EXPECT_EQ(doc.fParser.CurrentElement(), Name("r"));

    Document bare("<r/>");
    ASSERT_TRUE(bare.fParser.DownToChild());
    EXPECT_FALSE(bare.fParser.ReadAllAttributes(list));
    EXPECT_TRUE(list.empty());
}

TEST(XmlParserTest, InitStartsOverOnTheSameStream)
{
    std::istringstream in("<first/>");
    Parser parser(in, Parser::kNoValidation);
    ASSERT_TRUE(parser.DownToChild());
    EXPECT_EQ(parser.CurrentElement(), Name("first"));
    in.clear();
    in.str("<second><c/></second>");
    parser.Init("memory:second", Parser::kNoValidation);
    ASSERT_TRUE(parser.DownToChild());
    EXPECT_EQ(parser.CurrentElement(), Name("second"));
    ASSERT_TRUE(parser.DownToChild());
    EXPECT_EQ(parser.CurrentElement(), Name("c"));
}

TEST(XmlParserTest, MalformedDocumentThrowsAtTheFailingStep)
{
    std::string document = "<r>";
    for (int i = 0; i < 2000; ++i) {
        document += "<a>text</a>";
    }
    document += "<a>text</b></r>";
    LogCapture capture;
    Document doc(document);
    ASSERT_TRUE(doc.fParser.DownToChild());
    int entered = 0;
    try {
        while (doc.fParser.DownToChild()) {
            EXPECT_FALSE(LoggedParserFailure(capture));
            ++entered;
            doc.fParser.UpToParent();
        }
        FAIL() << "no failure";
    } catch (int error) {
        EXPECT_EQ(error, -50);
    }
    EXPECT_GT(entered, 1000);
    EXPECT_TRUE(LoggedParserFailure(capture));
}

TEST(XmlParserTest, BoolAttributeMapsTrueAndFalse)
{
    ASSERT_EQ(Pellix::kBoolAttribute.size(), 2u);
    EXPECT_EQ(Pellix::kBoolAttribute[0].first, U("true"));
    EXPECT_TRUE(Pellix::kBoolAttribute[0].second);
    EXPECT_EQ(Pellix::kBoolAttribute[1].first, U("false"));
    EXPECT_FALSE(Pellix::kBoolAttribute[1].second);
}

TEST(XmlParserTest, NamesAndAttributeLists)
{
    EXPECT_TRUE(Name("a-b").Valid());
    EXPECT_FALSE(Name("1a").Valid());
    EXPECT_FALSE(Name("").Valid());
    EXPECT_FALSE(Name("a") == Name("a", "urn:x"));
    std::vector<AttributePair> list;
    Pellix::AddAttributeToList(list, AttributePair(U("k"), U("1")));
    Pellix::AddAttributeToList(list, AttributePair(U("k"), U("2")));
    UString value = U("untouched");
    EXPECT_FALSE(Pellix::FindAttributeInList(list, U("K"), value));
    EXPECT_EQ(value, U("untouched"));
    ASSERT_TRUE(Pellix::FindAttributeInList(list, U("k"), value));
    EXPECT_EQ(value, U("2"));
    EXPECT_EQ(list.size(), 1u);
}

// An external entity must never bring another file's content into the document.
TEST(XmlParserTest, ExternalEntitiesAreNotLoaded)
{
    TempFolder folder;
    std::string secret = folder.write("secret", "SECRET");
    std::string document =
        "<!DOCTYPE r [<!ENTITY e SYSTEM 'file://" + secret + "'><!ENTITY i 'inner'>]><r>x&e;y<i>&i;</i></r>";
    Document doc(document);
    ASSERT_TRUE(doc.fParser.DownToChild());
    EXPECT_EQ(doc.fParser.ReadText(), U("xy"));
    ASSERT_TRUE(doc.fParser.DownToChild());
    EXPECT_EQ(doc.fParser.ReadText(), U("inner"));
}

} // namespace
