#include "XML/XMLWriter.h"
#include "LoggedLines.h"
#include "Utf8Text.h"

#include <DarwinTesting/LogCapture.h>

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>

using DarwinTesting::LogCapture;
using DarwinTesting::LogSource;
using Pellix::Name;
using Pellix::Writer;

namespace {

const std::string kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

UString Joined(UString a, const UString& b, const UString& c = UString())
{
    return a.append(b).append(c);
}

std::string Written(const std::function<void(Writer&)>& body, const Name& root = Name(""))
{
    std::ostringstream out;
    {
        Writer writer(out, root, UString(), U("r.dtd"));
        body(writer);
    }
    return out.str();
}

bool LoggedWriterFailure(const LogCapture& capture)
{
    return LoggedLineStartingWith(capture, "FailString Pellix at file:PellixLib2/Source/XML/XMLWriter line:");
}

TEST(XmlWriterTest, LaysOutNestedElementsTextLinesAndInlineMode)
{
    std::string text = Written([](Writer& w) {
        w.StartElement(Name("a"));
        w.Attribute(Name("k"), U("v&\"<"));
        w.Element(Name("b"), U("t<&>"));
        w.StartElement(Name("c"));
        w.Element(Name("d"));
        w.EndElement(Name("c"));
        w.SetMode(1);
        w.StartElement(Name("e"));
        w.Element(Name("f"), U("x"));
        w.EndElement(Name("e"));
        w.ResetMode();
        w.Element(Name("g"));
        w.EndElement(Name("a"));
    });
    EXPECT_EQ(text, kDeclaration + "\n\n"
                                   "<a k=\"v&amp;&quot;&lt;\">\n"
                                   "\t<b>t&lt;&amp;&gt;</b>\n"
                                   "\t<c>\n"
                                   "\t\t<d/>\n"
                                   "\t</c><e><f>x</f></e>\n"
                                   "\t<g/>\n"
                                   "</a>");
}

TEST(XmlWriterTest, RootNameWritesTheDocumentType)
{
    EXPECT_EQ(Written([](Writer& w) { w.Element(Name("r")); }, Name("r")),
              kDeclaration + "\n<!DOCTYPE r SYSTEM \"r.dtd\">\n\n<r/>");
    EXPECT_EQ(Written([](Writer& w) { w.Element(Name("r")); }), kDeclaration + "\n\n<r/>");
}

TEST(XmlWriterTest, OneSpaceIsEncoded)
{
    EXPECT_EQ(Written([](Writer& w) { w.Element(Name("r"), U(" ")); }),
              kDeclaration + "\n\n<r>XML_SPACE_ENCODE</r>");
    EXPECT_EQ(Written([](Writer& w) { w.Element(Name("r"), U("  ")); }), kDeclaration + "\n\n<r>  </r>");
}

TEST(XmlWriterTest, CommentsAndInstructions)
{
    EXPECT_EQ(Written([](Writer& w) {
                  w.StartElement(Name("r"));
                  w.Comment(U("a-b"));
                  w.ProcessingInstruction(Name("pi"), U("data"));
                  w.EndElement(Name("r"));
              }),
              kDeclaration + "\n\n<r><!--a-b--><?pi data?></r>");
}

// Text that the reader would reject is refused before anything of it is written.
TEST(XmlWriterTest, RefusesTextTheReaderRejects)
{
    const UString lone(static_cast<UString::value_type>(0xD800));
    const UString pair = Joined(UString(static_cast<UString::value_type>(0xD83D)),
                                UString(static_cast<UString::value_type>(0xDE00)));
    struct Case
    {
        const char* what;
        std::function<void(Writer&)> write;
    };
    const Case refused[] = {
        {"control in text", [](Writer& w) { w.Write(U("a\x01")); }},
        {"U+FFFF in text", [](Writer& w) { w.Write(UString(static_cast<UString::value_type>(0xFFFF))); }},
        {"lone high surrogate", [&](Writer& w) { w.Write(Joined(U("a"), lone, U("b"))); }},
        {"lone low surrogate", [](Writer& w) { w.Write(UString(static_cast<UString::value_type>(0xDC00))); }},
        {"control in attribute", [](Writer& w) { w.Attribute(Name("k"), U("\x1f")); }},
        {"attribute name that is no name", [](Writer& w) { w.Attribute(Name(""), U("v")); }},
        {"double hyphen in comment", [](Writer& w) { w.Comment(U("a--b")); }},
        {"comment ending in hyphen", [](Writer& w) { w.Comment(U("a-")); }},
        {"control in comment", [](Writer& w) { w.Comment(U("\x02")); }},
        {"end in instruction", [](Writer& w) { w.ProcessingInstruction(Name("pi"), U("a?>b")); }},
    };
    for (const Case& c : refused) {
        LogCapture capture;
        std::ostringstream out;
        Writer writer(out, Name(""), UString(), UString());
        writer.StartElement(Name("r"));
        try {
            c.write(writer);
            ADD_FAILURE() << c.what << " was written";
        } catch (int error) {
            EXPECT_EQ(error, -50) << c.what;
        }
        EXPECT_TRUE(LoggedWriterFailure(capture)) << c.what;
    }
    EXPECT_EQ(Written([&](Writer& w) { w.Element(Name("r"), Joined(U("\t\r\n"), pair)); }),
              kDeclaration + "\n\n<r>\t&#13;\n\xF0\x9F\x98\x80</r>");
}

TEST(XmlWriterTest, FailedStreamMakesAWriteThrow)
{
    LogCapture capture;
    std::ostringstream out;
    Writer writer(out, Name(""), UString(), UString());
    writer.StartElement(Name("r"));
    out.setstate(std::ios::failbit);
    bool thrown = false;
    for (int written = 0; written < 8192 && !thrown; written += 16) {
        try {
            writer.Element(Name("element"), U("text"));
        } catch (int error) {
            EXPECT_EQ(error, -50);
            thrown = true;
        }
    }
    EXPECT_TRUE(thrown);
    EXPECT_TRUE(LoggedWriterFailure(capture));
}

TEST(XmlWriterTest, ResetModeKeepsTheInitialMode)
{
    EXPECT_EQ(Written([](Writer& w) {
                  w.ResetMode();
                  EXPECT_EQ(w.GetCurrentMode(), Writer::kIndented);
                  w.SetMode(2);
                  EXPECT_EQ(w.GetCurrentMode(), 2);
                  w.ResetMode();
                  w.ResetMode();
                  EXPECT_EQ(w.GetCurrentMode(), Writer::kIndented);
                  w.StartElement(Name("r"));
                  w.Element(Name("c"));
                  w.EndElement(Name("r"));
              }),
              kDeclaration + "\n\n<r>\n\t<c/>\n</r>");
}

TEST(XmlWriterTest, IndentByHand)
{
    EXPECT_EQ(Written([](Writer& w) {
                  w.Indent();
                  w.Indent();
                  w.Unindent();
                  EXPECT_EQ(w.GetIndentCount(), 1);
                  w.Element(Name("r"));
              }),
              kDeclaration + "\n\n\t<r/>");
}

} // namespace
