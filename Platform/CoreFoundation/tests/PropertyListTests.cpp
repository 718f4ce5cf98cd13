#include "FileFixtures.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

using namespace FileFixtures;

namespace {

CF<CFDataRef> bytes(const std::string& content)
{
    return CF<CFDataRef>(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(content.data()),
                                      static_cast<CFIndex>(content.size())));
}

std::string content(CFDataRef data)
{
    return std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                       static_cast<size_t>(CFDataGetLength(data)));
}

CF<CFPropertyListRef> parse(const std::string& document, CFOptionFlags options = kCFPropertyListImmutable)
{
    return CF<CFPropertyListRef>(
        CFPropertyListCreateWithData(nullptr, bytes(document).get(), options, nullptr, nullptr));
}

// The XML text of a property list, or "<null>" when it cannot be written.
std::string write(CFPropertyListRef plist)
{
    CF<CFDataRef> data(CFPropertyListCreateData(nullptr, plist, kCFPropertyListXMLFormat_v1_0, 0, nullptr));
    return data ? content(data.get()) : "<null>";
}

std::string document(const std::string& body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + body + "</plist>\n";
}

TEST(PropertyListWriter, EveryTypeReadsBackEqualAndWritesTheSameBytesAgain)
{
    const UInt8 raw[] = {0, 1, 2, 0xFE, 0xFF};
    CF<CFDataRef> data(CFDataCreate(nullptr, raw, sizeof(raw)));
    CF<CFDateRef> date(CFDateCreate(nullptr, 700000000.0));
    CF<CFNumberRef> integer = number(kCFNumberSInt64Type, std::numeric_limits<int64_t>::min());
    CF<CFNumberRef> real = number(kCFNumberFloat64Type, 1.0 / 3.0);
    CF<CFArrayRef> empty = array({});
    CF<CFArrayRef> nested = array({integer.get(), real.get(), empty.get()});
    CF<CFDictionaryRef> inner = dictionary({{"date", date.get()}});
    CF<CFDictionaryRef> plist = dictionary({{"string", CFSTR("a <b> & \"c\" 'd' \xE2\x82\xAC\r\n\t")},
                                            {"data", data.get()},
                                            {"true", kCFBooleanTrue},
                                            {"false", kCFBooleanFalse},
                                            {"array", nested.get()},
                                            {"inner", inner.get()}});

    std::string first = write(plist.get());
    CFPropertyListFormat format = 0;
    CF<CFPropertyListRef> readBack(CFPropertyListCreateWithData(nullptr, bytes(first).get(),
                                                                kCFPropertyListImmutable, &format, nullptr));
    ASSERT_TRUE(readBack) << first;
    EXPECT_EQ(format, kCFPropertyListXMLFormat_v1_0);
    EXPECT_TRUE(CFEqual(readBack.get(), plist.get())) << first;
    EXPECT_EQ(write(readBack.get()), first);
}

TEST(PropertyListWriter, SortsKeysByCodePointAndEscapesText)
{
    CF<CFDictionaryRef> plist = dictionary({{"b", CFSTR("x&y")},
                                            {"\xC3\xA9", kCFBooleanTrue},
                                            {"a<", CFSTR("\r]]>")},
                                            {"Z", kCFBooleanFalse},
                                            {"\xF0\x9F\x98\x80", kCFBooleanTrue},
                                            {"\xEF\xBD\x81", kCFBooleanTrue}});
    EXPECT_EQ(write(plist.get()), document("<dict>\n"
                                           "\t<key>Z</key>\n\t<false/>\n"
                                           "\t<key>a&lt;</key>\n\t<string>&#13;]]&gt;</string>\n"
                                           "\t<key>b</key>\n\t<string>x&amp;y</string>\n"
                                           "\t<key>\xC3\xA9</key>\n\t<true/>\n"
                                           "\t<key>\xEF\xBD\x81</key>\n\t<true/>\n"
                                           "\t<key>\xF0\x9F\x98\x80</key>\n\t<true/>\n"
                                           "</dict>\n"));
}

TEST(PropertyListWriter, RealsKeepEveryBit)
{
    const double values[] = {0.1,
                             1.0 / 3.0,
                             static_cast<double>(0.1f),
                             1e300,
                             std::numeric_limits<double>::denorm_min(),
                             std::numeric_limits<double>::max(),
                             -0.0,
                             -2.5,
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity()};
    for (double value : values) {
        CF<CFNumberRef> written = number(kCFNumberFloat64Type, value);
        CF<CFPropertyListRef> readBack = parse(write(written.get()));
        double back = 0;
        ASSERT_TRUE(readBack) << value;
        ASSERT_TRUE(CFNumberGetValue(static_cast<CFNumberRef>(readBack.get()), kCFNumberFloat64Type, &back));
        EXPECT_EQ(std::memcmp(&back, &value, sizeof(value)), 0) << value << " came back as " << back;
    }

    // A 32-bit float comes back exactly, so reading it as a 32-bit float is not lossy.
    CF<CFNumberRef> single = number(kCFNumberFloat32Type, 0.1f);
    CF<CFPropertyListRef> readBack = parse(write(single.get()));
    float back = 0;
    EXPECT_TRUE(CFNumberGetValue(static_cast<CFNumberRef>(readBack.get()), kCFNumberFloat32Type, &back));
    EXPECT_EQ(back, 0.1f);

    CF<CFNumberRef> nan = number(kCFNumberFloat64Type, std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(write(nan.get()), document("<real>nan</real>\n"));
}

TEST(PropertyListWriter, DatesAreWholeSecondsInUTC)
{
    struct Row
    {
        double time;
        const char* text;
    };
    for (const Row& row :
         {Row{0.0, "2001-01-01T00:00:00Z"}, Row{-978307200.0, "1970-01-01T00:00:00Z"},
          Row{0.75, "2001-01-01T00:00:00Z"}, Row{-0.25, "2000-12-31T23:59:59Z"},
          Row{951782400.0, "2031-03-01T00:00:00Z"}, Row{-63113904000.0, "0001-01-01T00:00:00Z"},
          Row{252423993599.0, "9999-12-31T23:59:59Z"}}) {
        CF<CFDateRef> date(CFDateCreate(nullptr, row.time));
        EXPECT_EQ(write(date.get()), document(std::string("<date>") + row.text + "</date>\n")) << row.time;
    }
    CF<CFDateRef> tooLate(CFDateCreate(nullptr, 252423993600.0));
    EXPECT_EQ(write(tooLate.get()), "<null>");
    CF<CFPropertyListRef> leapDay = parse(document("<date>2024-02-29T12:00:00Z</date>"));
    ASSERT_TRUE(leapDay);
    EXPECT_EQ(CFDateGetAbsoluteTime(static_cast<CFDateRef>(leapDay.get())), 730900800.0);
}

TEST(PropertyListWriter, RefusesWhatXMLOrTheFormatCannotCarry)
{
    const UniChar loneSurrogate[] = {'a', 0xD800};
    CF<CFStringRef> surrogate(CFStringCreateWithCharacters(nullptr, loneSurrogate, 2));
    CF<CFURLRef> url(CFURLCreateWithString(nullptr, CFSTR("http://a/"), nullptr));
    CF<CFMutableDictionaryRef> numberKey(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                                   &kCFTypeDictionaryValueCallBacks));
    CF<CFNumberRef> one = number(kCFNumberSInt32Type, 1);
    CFDictionarySetValue(numberKey.get(), one.get(), one.get());

    for (CFTypeRef refused :
         {CFTypeRef(CFSTR("bell\a")), CFTypeRef(CFSTR("nul\x01")), CFTypeRef(surrogate.get()),
          CFTypeRef(CFSTR("\xEF\xBF\xBF")), CFTypeRef(url.get()), CFTypeRef(numberKey.get())}) {
        CFErrorRef error = nullptr;
        EXPECT_EQ(CFPropertyListCreateData(nullptr, refused, kCFPropertyListXMLFormat_v1_0, 0, &error),
                  nullptr);
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(CFErrorGetCode(error), kCFPropertyListWriteStreamError);
        CFRelease(error);
    }
    EXPECT_EQ(CFPropertyListCreateData(nullptr, CFSTR("x"), kCFPropertyListBinaryFormat_v1_0, 0, nullptr),
              nullptr);
}

// Arrays nested `depth` levels below the top value.
std::string nestedArrays(int depth)
{
    std::string body;
    for (int i = 0; i <= depth; ++i) {
        body += "<array>";
    }
    for (int i = 0; i <= depth; ++i) {
        body += "</array>";
    }
    return document(body);
}

TEST(PropertyListReader, NestingIsBounded)
{
    CF<CFPropertyListRef> deepest = parse(nestedArrays(128));
    ASSERT_TRUE(deepest);
    EXPECT_NE(write(deepest.get()), "<null>");
    EXPECT_FALSE(parse(nestedArrays(129)));

    // A container holding itself cannot be written forever.
    CF<CFMutableArrayRef> loop(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
    CFArrayAppendValue(loop.get(), loop.get());
    EXPECT_EQ(write(loop.get()), "<null>");
    CFArrayRemoveAllValues(loop.get());
}

TEST(PropertyListReader, IntegersAreSigned64Bit)
{
    struct Row
    {
        const char* text;
        int64_t value;
    };
    for (const Row& row :
         {Row{"9223372036854775807", std::numeric_limits<int64_t>::max()},
          Row{"-9223372036854775808", std::numeric_limits<int64_t>::min()}, Row{" +42\n", 42}, Row{"0", 0}}) {
        CF<CFPropertyListRef> plist = parse(document(std::string("<integer>") + row.text + "</integer>"));
        int64_t value = 0;
        ASSERT_TRUE(plist) << row.text;
        EXPECT_TRUE(CFNumberGetValue(static_cast<CFNumberRef>(plist.get()), kCFNumberSInt64Type, &value));
        EXPECT_EQ(value, row.value);
    }
}

struct MalformedRow
{
    const char* name;
    std::string document;
};

class PropertyListMalformed : public testing::TestWithParam<MalformedRow>
{};

TEST_P(PropertyListMalformed, GivesNullWithAnError)
{
    CFErrorRef error = nullptr;
    CFPropertyListRef plist = CFPropertyListCreateWithData(nullptr, bytes(GetParam().document).get(),
                                                           kCFPropertyListImmutable, nullptr, &error);
    EXPECT_EQ(plist, nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_TRUE(CFEqual(CFErrorGetDomain(error), kCFErrorDomainCocoa));
    EXPECT_EQ(CFErrorGetCode(error), kCFPropertyListReadCorruptError);
    CFRelease(error);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PropertyListMalformed,
    testing::Values(
        MalformedRow{"Empty", ""}, MalformedRow{"NotXML", "bplist00\x01\x02"},
        MalformedRow{"Truncated", document("<dict><key>a</key><string>b</str")},
        MalformedRow{"Misnested", document("<dict><key>a</key><array></dict></array>")},
        MalformedRow{"NotAPlist", "<?xml version=\"1.0\"?><dict/>"}, MalformedRow{"NoValue", document("")},
        MalformedRow{"TwoValues", document("<true/><false/>")},
        MalformedRow{"UnknownElement", document("<set/>")},
        MalformedRow{"KeyWithoutValue", document("<dict><key>a</key></dict>")},
        MalformedRow{"ValueWithoutKey", document("<dict><string>a</string><true/></dict>")},
        MalformedRow{"DuplicateKey", document("<dict><key>a</key><true/><key>a</key><false/></dict>")},
        MalformedRow{"TextInArray", document("<array>x<true/></array>")},
        MalformedRow{"ElementInString", document("<string>a<b/></string>")},
        MalformedRow{"ContentInBoolean", document("<true><false/></true>")},
        MalformedRow{"IntegerTooLarge", document("<integer>9223372036854775808</integer>")},
        MalformedRow{"IntegerTooSmall", document("<integer>-9223372036854775809</integer>")},
        MalformedRow{"IntegerNotANumber", document("<integer>12abc</integer>")},
        MalformedRow{"IntegerEmpty", document("<integer></integer>")},
        MalformedRow{"RealNotANumber", document("<real>1.5.5</real>")},
        MalformedRow{"RealOutOfRange", document("<real>1e999</real>")},
        MalformedRow{"BadBase64Character", document("<data>QUJ*</data>")},
        MalformedRow{"BadBase64Length", document("<data>QUJ</data>")},
        MalformedRow{"BadBase64Padding", document("<data>Q===</data>")},
        MalformedRow{"PaddingInside", document("<data>QQ==QUJD</data>")},
        MalformedRow{"ImpossibleDate", document("<date>2023-02-29T00:00:00Z</date>")},
        MalformedRow{"DateWithoutZone", document("<date>2023-01-01T00:00:00</date>")},
        MalformedRow{"DateOutOfRange", document("<date>2023-01-01T24:00:00Z</date>")},
        MalformedRow{"NamespacedElement", document("<x:true xmlns:x=\"urn:x\"/>")},
        MalformedRow{
            "ExternalEntity",
            "<?xml version=\"1.0\"?>\n<!DOCTYPE plist [<!ENTITY secret SYSTEM \"file:///etc/passwd\">]>\n"
            "<plist version=\"1.0\"><string>&secret;</string></plist>\n"},
        MalformedRow{
            "NetworkEntity",
            "<?xml version=\"1.0\"?>\n<!DOCTYPE plist [<!ENTITY remote SYSTEM \"http://127.0.0.1:9/x\">]>\n"
            "<plist version=\"1.0\"><string>&remote;</string></plist>\n"},
        MalformedRow{
            "ParameterEntity",
            "<?xml version=\"1.0\"?>\n<!DOCTYPE plist [<!ENTITY % p SYSTEM \"file:///etc/passwd\"> %p;]>\n"
            "<plist version=\"1.0\"><true/></plist>\n"},
        MalformedRow{"InternalEntity", "<?xml version=\"1.0\"?>\n<!DOCTYPE plist [<!ENTITY a "
                                       "\"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;\">]>\n"
                                       "<plist version=\"1.0\"><string>&b;</string></plist>\n"},
        MalformedRow{"UndeclaredEntity",
                     "<?xml version=\"1.0\"?>\n<!DOCTYPE plist SYSTEM \"file:///nonexistent.dtd\">\n"
                     "<plist version=\"1.0\"><string>&undeclared;</string></plist>\n"},
        MalformedRow{"TooLarge", document("<string>" + std::string(17 * 1024 * 1024, 'x') + "</string>")}),
    [](const testing::TestParamInfo<MalformedRow>& info) { return info.param.name; });

TEST(PropertyListReader, AcceptsTheFormsOtherWritersUse)
{
    // A document type naming an external DTD is never loaded; comments, processing instructions, CDATA,
    // character references, Base64 on several lines and another declared encoding are all fine.
    std::string latin1 =
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Example//DTD PLIST 1.0//EN\" \"http://127.0.0.1:9/plist.dtd\">\n"
        "<plist version=\"1.0\">\n<!-- comment --><?pi x?>\n<dict>\n"
        "\t<key>caf\xE9</key>\n\t<string><![CDATA[<raw>]]>&#x20AC;&amp;</string>\n"
        "\t<key>data</key>\n\t<data>\n\tQUJD\n\tREVG\n\t</data>\n"
        "</dict>\n</plist>\n";
    CF<CFPropertyListRef> plist = parse(latin1);
    ASSERT_TRUE(plist);
    auto values = static_cast<CFDictionaryRef>(plist.get());
    EXPECT_EQ(text(static_cast<CFStringRef>(CFDictionaryGetValue(values, CFSTR("caf\xC3\xA9")))),
              "<raw>\xE2\x82\xAC&");
    auto data = static_cast<CFDataRef>(CFDictionaryGetValue(values, CFSTR("data")));
    ASSERT_TRUE(data);
    EXPECT_EQ(content(data), "ABCDEF");
}

TEST(PropertyListReader, NeverLoadsAnExternalDTD)
{
    // Were the DTD read, its entity would expand and the document would parse.
    TemporaryFolder folder;
    writeFile(folder / "plist.dtd", "<!ENTITY greeting \"hello\">\n");
    std::string text = "<?xml version=\"1.0\"?>\n<!DOCTYPE plist SYSTEM \"file://" +
                       (folder / "plist.dtd").string() +
                       "\">\n<plist version=\"1.0\"><string>&greeting;</string></plist>\n";
    EXPECT_FALSE(parse(text));
}

TEST(PropertyListReader, MutabilityOptionsGiveMutableContainersAndLeaves)
{
    std::string text = document("<array><data>QUJD</data></array>");
    CF<CFPropertyListRef> immutable = parse(text);
    auto data = static_cast<CFDataRef>(CFArrayGetValueAtIndex(static_cast<CFArrayRef>(immutable.get()), 0));
    EXPECT_EQ(CFDataGetMutableBytePtr(const_cast<CFMutableDataRef>(data)), nullptr);

    CF<CFPropertyListRef> containers = parse(text, kCFPropertyListMutableContainers);
    auto array = static_cast<CFMutableArrayRef>(const_cast<void*>(containers.get()));
    CFArrayAppendValue(array, kCFBooleanTrue);
    EXPECT_EQ(CFArrayGetCount(array), 2);

    CF<CFPropertyListRef> leaves = parse(text, kCFPropertyListMutableContainersAndLeaves);
    auto mutableData = static_cast<CFMutableDataRef>(
        const_cast<void*>(CFArrayGetValueAtIndex(static_cast<CFArrayRef>(leaves.get()), 0)));
    ASSERT_NE(CFDataGetMutableBytePtr(mutableData), nullptr);
    CFDataGetMutableBytePtr(mutableData)[0] = 'X';
    EXPECT_EQ(content(mutableData), "XBC");
}

TEST(PropertyListDeepCopy, SharesNothingMutableWithTheOriginal)
{
    CF<CFMutableStringRef> text(CFStringCreateMutableCopy(nullptr, 0, CFSTR("before")));
    CF<CFMutableArrayRef> list(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
    CFArrayAppendValue(list.get(), text.get());
    CF<CFDictionaryRef> original = dictionary({{"list", list.get()}});

    CF<CFPropertyListRef> copy(
        CFPropertyListCreateDeepCopy(nullptr, original.get(), kCFPropertyListImmutable));
    ASSERT_TRUE(copy);
    EXPECT_TRUE(CFEqual(copy.get(), original.get()));
    CFStringAppendCString(text.get(), " after", kCFStringEncodingUTF8);
    CFArrayAppendValue(list.get(), kCFBooleanTrue);
    EXPECT_FALSE(CFEqual(copy.get(), original.get()));
    auto copiedList = static_cast<CFArrayRef>(
        CFDictionaryGetValue(static_cast<CFDictionaryRef>(copy.get()), CFSTR("list")));
    ASSERT_EQ(CFArrayGetCount(copiedList), 1);
    EXPECT_EQ(FileFixtures::text(static_cast<CFStringRef>(CFArrayGetValueAtIndex(copiedList, 0))), "before");

    CF<CFURLRef> url(CFURLCreateWithString(nullptr, CFSTR("http://a/"), nullptr));
    CF<CFArrayRef> notAPlist = array({url.get()});
    EXPECT_EQ(CFPropertyListCreateDeepCopy(nullptr, notAPlist.get(), kCFPropertyListImmutable), nullptr);
}

} // namespace
