#include <DarwinTesting/LogCapture.h>
#include <Foundation/NSLog.h>
#include <Foundation/NSProcessInfo.h>
#include <FoundationTesting/Arguments.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> strings(CFArrayRef array)
{
    std::vector<std::string> result;
    for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
        char buffer[256] = {};
        CFStringGetCString(static_cast<CFStringRef>(CFArrayGetValueAtIndex(array, i)), buffer, sizeof(buffer),
                           kCFStringEncodingUTF8);
        result.emplace_back(buffer);
    }
    return result;
}

TEST(NSLog, FormatsObjectsAndPrintfConversionsIntoOneLine)
{
    CFStringRef identifier = CFSTR("com.vork.driver.tide.dext");
    const void* keys[] = {kCFErrorDescriptionKey};
    const void* values[] = {CFSTR("The request was cancelled.")};
    CFDictionaryRef info = CFDictionaryCreate(nullptr, keys, values, 1, &kCFTypeDictionaryKeyCallBacks,
                                              &kCFTypeDictionaryValueCallBacks);
    CFErrorRef error = CFErrorCreate(nullptr, CFSTR("TestDomain"), 11, info);
    DarwinTesting::LogCapture capture;
    NSLog(CFSTR("Activation request for %@"), identifier);
    NSLog(CFSTR("%@ | %s %d %ld %u %x %.2f %%\n"), error, "text", -3, 40L, 7u, 255, 1.5);
    NSLog(CFSTR("%@"), nullptr);
    EXPECT_EQ(capture.texts(DarwinTesting::LogSource::NSLog),
              (std::vector<std::string>{"Activation request for com.vork.driver.tide.dext",
                                        "The request was cancelled. | text -3 40 7 ff 1.50 %", "(null)"}));
    CFRelease(error);
    CFRelease(info);
}

TEST(ProcessInfo, AnswersTheCommandLineUnlessATestSetsOthers)
{
    CFArrayRef own = NS::ProcessInfo::processInfo().copyArguments();
    ASSERT_GE(CFArrayGetCount(own), 1);
    EXPECT_NE(strings(own)[0].find("FoundationTests"), std::string::npos);
    {
        FoundationTesting::Arguments arguments({"app", "calledFromInstaller"});
        CFArrayRef set = NS::ProcessInfo::processInfo().copyArguments();
        EXPECT_EQ(strings(set), (std::vector<std::string>{"app", "calledFromInstaller"}));
        CFRelease(set);
    }
    CFArrayRef again = NS::ProcessInfo::processInfo().copyArguments();
    EXPECT_EQ(strings(again), strings(own));
    CFRelease(again);
    CFRelease(own);
}

} // namespace
