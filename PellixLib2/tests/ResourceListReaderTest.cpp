#include "ChildProcess.h"
#include "FixtureBundle.h"
#include "LoggedLines.h"
#include "ResourceAccess/ResourceAccess.h"
#include "Utf8Text.h"
#include "XML/XMLResourceListReader.h"

#include <DarwinTesting/LogCapture.h>

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

using DarwinTesting::LogCapture;
using DarwinTesting::LogSource;
using namespace Pellix;

namespace {

// Records each entry, with the text of its "value" child.
class RecordingReader : public ResourceListReader
{
public:
    void ReadItem(Parser& parser, const Name& element, const UString& id) override
    {
        std::string entry = element.GetLocalName() + ":" + id.utf8_str();
        if (parser.DownToChild(Name("value"))) {
            entry += "=" + parser.ReadText().utf8_str();
            parser.UpToParent();
        }
        fEntries.push_back(entry);
    }

    std::vector<std::string> fEntries;
};

std::vector<std::string> Read(const std::string& document, bool& failed)
{
    std::istringstream in(document);
    Parser parser(in, Parser::kNoValidation);
    RecordingReader reader;
    failed = false;
    try {
        reader.ReadList(parser);
    } catch (int error) {
        EXPECT_EQ(error, -50);
        failed = true;
    }
    return reader.fEntries;
}

bool LoggedReaderFailure(const LogCapture& capture)
{
    return LoggedLineStartingWith(
        capture, "FailString ResourceListReader at file:PellixLib2/Source/XML/XMLResourceListReader line:");
}

TEST(ResourceListReaderTest, HandsEveryEntryWithItsID)
{
    bool failed = false;
    EXPECT_EQ(Read("<resource_list><font ID='f1'><value>Helvetica</value><other/></font><text ID='t'/>"
                   "<skip ID='s'><deep><value>x</value></deep></skip></resource_list>",
                   failed),
              (std::vector<std::string>{"font:f1=Helvetica", "text:t", "skip:s"}));
    EXPECT_FALSE(failed);
    EXPECT_TRUE(Read("", failed).empty());
    EXPECT_TRUE(failed);
}

TEST(ResourceListReaderTest, RootOfAnotherNameFailsBeforeAnyEntry)
{
    LogCapture capture;
    bool failed = false;
    EXPECT_TRUE(Read("<resources><font ID='f1'/></resources>", failed).empty());
    EXPECT_TRUE(failed);
    EXPECT_TRUE(LoggedReaderFailure(capture));
}

TEST(ResourceListReaderTest, EntryWithoutIDFailsAfterTheEntriesBeforeIt)
{
    LogCapture capture;
    bool failed = false;
    EXPECT_EQ(Read("<resource_list><a ID='1'/><b ID='2'/><c/><d ID='4'/></resource_list>", failed),
              (std::vector<std::string>{"a:1", "b:2"}));
    EXPECT_TRUE(failed);
    EXPECT_TRUE(LoggedReaderFailure(capture));
}

const char* const kStrings = "<resource_list><XSET name='strings'>"
                             "<TEXT name='MBOK'>OK</TEXT>"
                             "<XSET name='Font1'><TEXT name='FontFamilyName'>Helvetica</TEXT>"
                             "<XSET name='Inner'><TEXT name='deep'>found</TEXT></XSET></XSET>"
                             "</XSET></resource_list>";

// Each case starts a process of its own: the table is read once per process.
TEST(ResourceListReaderTest, LooksUpTextsOfThePresentResource)
{
    RunInChildProcess([] {
        FixtureBundle bundle("org.tide.pellix.tests.strings", {{"LocalizableStrings.xml", kStrings}});
        ResourceAccess::Instance().SetBundleID(U(bundle.identifier()));
        std::vector<std::pair<UString, UString>> answers = {
            {LookupString("MBOK"), U("OK")},
            {LookupString(U("MBOK")), U("OK")},
            {LookupString(std::vector<std::string>{"Font1"}, "FontFamilyName"), U("Helvetica")},
            {LookupString(std::vector<UString>{U("Font1"), U("Inner")}, U("deep")), U("found")},
            {LookupString("missing"), UString()},
            {LookupString(std::vector<std::string>{"Font1"}, "missing"), UString()},
            {LookupString(std::vector<std::string>{"Font2"}, "FontFamilyName"), UString()},
            {LookupString(std::vector<std::string>{"MBOK"}, "x"), UString()},
        };
        bool passed = true;
        for (size_t i = 0; i < answers.size(); ++i) {
            if (!(answers[i].first == answers[i].second)) {
                std::cerr << "lookup " << i << " gave " << answers[i].first.utf8_str() << std::endl;
                passed = false;
            }
        }
        return passed;
    });
}

TEST(ResourceListReaderTest, EveryLookupIsEmptyWithoutTheResource)
{
    RunInChildProcess([] {
        FixtureBundle bundle("org.tide.pellix.tests.nostrings", {{"Other.xml", kStrings}});
        ResourceAccess::Instance().SetBundleID(U(bundle.identifier()));
        return LookupString("MBOK").empty() &&
               LookupString(std::vector<std::string>{"Font1"}, "FontFamilyName").empty();
    });
}

} // namespace
