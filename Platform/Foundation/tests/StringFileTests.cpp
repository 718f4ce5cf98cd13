#include <Foundation/NSData.h>
#include <Foundation/NSProcessInfo.h>
#include <Foundation/NSString.h>
#include <FoundationTesting/Activities.h>

#include <Foundation/NSException.h>

#include <gtest/gtest.h>

#include <iomanip>

#include <filesystem>
#include <fstream>
#include <random>
#include <unistd.h>

namespace {

class StringFiles : public testing::Test
{
protected:
    void SetUp() override
    {
        fFolder = std::filesystem::path(testing::TempDir()) / ("strings-" + std::to_string(getpid()));
        std::filesystem::create_directories(fFolder);
    }
    void TearDown() override { std::filesystem::remove_all(fFolder); }

    NS::String pathString(const std::string& name) const
    {
        return NS::createStringWithUTF8((fFolder / name).string());
    }

    void write(const std::string& name, const std::string& bytes) const
    {
        std::ofstream(fFolder / name, std::ios::binary) << bytes;
    }

    std::string read(const std::string& name) const
    {
        std::ifstream file(fFolder / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }

    // The file's text as UTF-8, or nothing when the read fails.
    std::optional<std::string> readAs(const std::string& bytes, NS::StringEncoding encoding) const
    {
        write("input", bytes);
        NS::String path = pathString("input");
        NS::Error error = nullptr;
        NS::String text = NS::stringWithContentsOfFile(path, encoding, &error);
        CFRelease(path);
        if (!text) {
            EXPECT_NE(error, nullptr);
            if (error) {
                CFRelease(error);
            }
            return std::nullopt;
        }
        std::string utf8 = NS::UTF8String(text);
        CFRelease(text);
        return utf8;
    }

    std::filesystem::path fFolder;
};

struct ReadRow
{
    const char* fName;
    std::string fBytes;
    NS::StringEncoding fEncoding;
    std::optional<std::string> fText;
};

TEST_F(StringFiles, ReadsTextOnlyInTheEncodingItClaims)
{
    using namespace std::string_literals;
    const std::vector<ReadRow> rows = {
        {"UTF-8", "caf\xC3\xA9", NS::UTF8StringEncoding, "caf\xC3\xA9"},
        {"UTF-8 with NUL", "a\0b"s, NS::UTF8StringEncoding, "a\0b"s},
        {"UTF-8 ill-formed", "caf\xC3", NS::UTF8StringEncoding, std::nullopt},
        {"UTF-8 overlong", "\xC0\xAF", NS::UTF8StringEncoding, std::nullopt},
        {"UTF-16 FF FE", "\xFF\xFE\xE9\x00\x00\x00"s, NS::UnicodeStringEncoding, "\xC3\xA9\0"s},
        {"UTF-16 FE FF", "\xFE\xFF\x6D\xF7"s, NS::UnicodeStringEncoding, "\xE6\xB7\xB7"},
        {"UTF-16 without mark", "\xE9\x00"s, NS::UnicodeStringEncoding, std::nullopt},
        {"UTF-16 odd length", "\xFF\xFE\x41\x00\x42"s, NS::UnicodeStringEncoding, std::nullopt},
        {"UTF-16 unpaired surrogate", "\xFF\xFE\x00\xD8\x41\x00"s, NS::UnicodeStringEncoding, std::nullopt},
        {"UTF-16 surrogate pair", "\xFF\xFE\x3C\xD8\x9B\xDF"s, NS::UnicodeStringEncoding, "\xF0\x9F\x8E\x9B"},
    };
    for (const ReadRow& row : rows) {
        EXPECT_EQ(readAs(row.fBytes, row.fEncoding), row.fText) << row.fName;
    }
}

TEST_F(StringFiles, WritesAtomicallyAndLeavesTheOldFileOnFailure)
{
    NS::String target = pathString("out.preset");
    NS::String empty = NS::createStringWithUTF8("");
    EXPECT_TRUE(NS::writeToFile(empty, target, true, NS::UTF8StringEncoding, nullptr));
    EXPECT_TRUE(std::filesystem::exists(fFolder / "out.preset"));
    EXPECT_EQ(read("out.preset"), "");

    write("out.preset", std::string(5000, 'x'));
    NS::String text = NS::createStringWithUTF8(std::string("new\0text", 8));
    EXPECT_TRUE(NS::writeToFile(text, target, true, NS::UTF8StringEncoding, nullptr));
    EXPECT_EQ(read("out.preset"), std::string("new\0text", 8));

    const UniChar lone[] = {'a', 0xD800};
    NS::String unpaired = CFStringCreateWithCharacters(nullptr, lone, 2);
    NS::Error error = nullptr;
    EXPECT_FALSE(NS::writeToFile(unpaired, target, true, NS::UTF8StringEncoding, &error));
    EXPECT_NE(error, nullptr);
    EXPECT_EQ(read("out.preset"), std::string("new\0text", 8));

    write("plain", "a file");
    NS::String underFile = pathString("plain/out.preset");
    EXPECT_FALSE(NS::writeToFile(text, underFile, true, NS::UTF8StringEncoding, nullptr));
    EXPECT_EQ(
        std::distance(std::filesystem::directory_iterator(fFolder), std::filesystem::directory_iterator()), 2)
        << "no temporary file is left";
    for (CFTypeRef object : {CFTypeRef(target), CFTypeRef(empty), CFTypeRef(text), CFTypeRef(unpaired),
                             CFTypeRef(error), CFTypeRef(underFile)}) {
        CFRelease(object);
    }
}

// Python's own encoders over the same random inputs; every ASCII character is among them.
TEST_F(StringFiles, PercentEncodingAndBase64MatchPython)
{
    std::mt19937 random(20);
    std::vector<std::string> texts = {std::string(), [] {
                                          std::string all;
                                          for (int c = 1; c < 128; ++c) {
                                              all += static_cast<char>(c);
                                          }
                                          return all;
                                      }()};
    const std::vector<std::string> pieces = {
        "a", "~",  " ",  "%", "+", "&", "\xC3\xA9", "\xE6\xB7\xB7", "\xF0\x9F\x8E\x9B",
        "'", "\"", "\\", "/", "?", "#"};
    for (int i = 0; i < 40; ++i) {
        std::string text;
        for (int n = random() % 30; n > 0; --n) {
            text += pieces[random() % pieces.size()];
        }
        texts.push_back(text);
    }
    std::ofstream input(fFolder / "texts", std::ios::binary);
    for (const std::string& text : texts) {
        for (unsigned char c : text) {
            input << std::hex << std::setw(2) << std::setfill('0') << static_cast<int>(c);
        }
        input << '\n';
    }
    input.close();
    const std::string command = "python3 -c \"import base64, sys, urllib.parse\n"
                                "for line in open(sys.argv[1]).read().split('\\n')[:-1]:\n"
                                "    b = bytes.fromhex(line)\n"
                                "    print(urllib.parse.quote(b, safe=\\\"!\\$&'()*+,;=:@/?-._~\\\"), "
                                "base64.b64encode(b).decode())\" " +
                                (fFolder / "texts").string();
    FILE* python = popen(command.c_str(), "r");
    ASSERT_NE(python, nullptr);
    char line[8192];
    for (const std::string& text : texts) {
        ASSERT_NE(std::fgets(line, sizeof line, python), nullptr);
        std::string expected(line);
        expected.pop_back();
        NS::String string = NS::createStringWithUTF8(text);
        NS::String escaped = NS::stringByAddingPercentEncodingWithAllowedCharacters(
            string, NS::CharacterSet::URLQueryAllowedCharacterSet());
        NS::Data* data = NS::Data::dataWithBytes(text.data(), text.size());
        NS::String base64 = data->base64EncodedStringWithOptions(0);
        EXPECT_EQ(NS::UTF8String(escaped) + " " + NS::UTF8String(base64), expected);
        NS::Data* decoded = NS::Data::createWithBase64EncodedString(base64);
        ASSERT_NE(decoded, nullptr);
        EXPECT_EQ(decoded->view(), text);
        for (CFTypeRef object : {CFTypeRef(string), CFTypeRef(escaped), CFTypeRef(base64)}) {
            CFRelease(object);
        }
        decoded->release();
        data->release();
    }
    EXPECT_EQ(pclose(python), 0);
}

TEST(StringOperations, CompareSliceAndFormatByUTF16Units)
{
    NS::String text = NS::createStringWithUTF8("open \xF0\x9F\x8E\x9B Pyx");
    EXPECT_TRUE(NS::hasPrefix(text, CFSTR("open ")));
    EXPECT_EQ(NS::length(text), 11);
    NS::String rest = NS::substringFromIndex(text, 5);
    EXPECT_TRUE(NS::containsString(rest, CFSTR("Pyx")));
    EXPECT_FALSE(NS::containsString(rest, CFSTR("pyx")));
    NS::String formatted = NS::stringWithFormat("%s/%@ 100%%", "a", rest);
    EXPECT_EQ(NS::UTF8String(formatted), "a/\xF0\x9F\x8E\x9B Pyx 100%");
    EXPECT_THROW(NS::substringFromIndex(text, 12), NS::Exception);
    for (CFTypeRef object : {CFTypeRef(text), CFTypeRef(rest), CFTypeRef(formatted)}) {
        CFRelease(object);
    }
}

TEST(StringOperations, StringWithCStringTakesUTF8Only)
{
    NS::String text = NS::stringWithCString("caf\xC3\xA9 Pyx", NS::UTF8StringEncoding);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(NS::UTF8String(text), "caf\xC3\xA9 Pyx");
    EXPECT_EQ(NS::length(text), 8);
    CFRelease(text);
    EXPECT_EQ(NS::stringWithCString("caf\xE9", NS::UTF8StringEncoding), nullptr);
    EXPECT_EQ(NS::stringWithCString("Pyx", NS::UnicodeStringEncoding), nullptr);
    EXPECT_EQ(NS::stringWithCString(nullptr, NS::UTF8StringEncoding), nullptr);
}

TEST(Activities, AreKeptWithTheirOptionsAndReasonUntilEnded)
{
    NS::Object* token = NS::ProcessInfo::processInfo().beginActivityWithOptions(0x00EFFFFF, CFSTR("Mixing"));
    const auto active = FoundationTesting::activeActivities();
    ASSERT_EQ(active.size(), 1u);
    EXPECT_EQ(active[0].fOptions, 0x00EFFFFFu);
    EXPECT_EQ(active[0].fReason, "Mixing");
    NS::ProcessInfo::processInfo().endActivity(token);
    EXPECT_TRUE(FoundationTesting::activeActivities().empty());
}

} // namespace
