#include <WebKitTesting/WebKitTesting.h>

#include <CoreFoundationTesting/RunLoop.h>
#include <Foundation/NSException.h>
#include <Foundation/NSString.h>
#include <Foundation/NSURL.h>
#include <Foundation/NSValue.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

namespace {

// Remembers what it was given, in order, with the thread it ran on.
class RecordingHandler : public WK::ScriptMessageHandler
{
public:
    void userContentControllerDidReceiveScriptMessage(WK::UserContentController*,
                                                      WK::ScriptMessage* message) override
    {
        fNames.push_back(NS::UTF8String(message->name()));
        fBodies.push_back(CFRetain(message->body()));
        fOnMainThread.push_back(CFRunLoopGetCurrent() == CFRunLoopGetMain());
        EXPECT_EQ(message->webView(), fExpectedView);
    }

    ~RecordingHandler() override
    {
        for (CFTypeRef body : fBodies) {
            CFRelease(body);
        }
    }

    WK::WebView* fExpectedView = nullptr;
    std::vector<std::string> fNames;
    std::vector<CFTypeRef> fBodies;
    std::vector<bool> fOnMainThread;
};

class RecordingPage : public WebKitTesting::Page
{
public:
    void didFinishLoad(const std::string& url) override { fEvents.push_back("loaded " + url); }
    void evaluate(const std::string& script) override { fEvents.push_back(script); }
    std::vector<std::string>& fEvents;
    explicit RecordingPage(std::vector<std::string>& events) : fEvents(events) {}
};

class WebKitFixture : public testing::Test
{
protected:
    void SetUp() override
    {
        fHandler = new RecordingHandler;
        WK::WebViewConfiguration* configuration = WK::WebViewConfiguration::create();
        configuration->userContentController()->addScriptMessageHandler(fHandler, CFSTR("msgJStoObjC"));
        fView = WK::WebView::initWithFrame(NS::MakeRect(0, 0, 1140, 820), configuration);
        configuration->release();
        fHandler->fExpectedView = fView;
        WebKitTesting::setPageFactory(
            [this](WK::WebView*) { return std::make_unique<RecordingPage>(fEvents); });
        fFolder = std::filesystem::path(testing::TempDir()) / ("webkit-" + std::to_string(getpid()));
        std::filesystem::create_directories(fFolder / "site");
        std::ofstream(fFolder / "site/index.html") << "<html></html>";
        std::ofstream(fFolder / "outside.html") << "<html></html>";
    }

    void TearDown() override
    {
        WebKitTesting::releaseScriptMessageHandlers();
        fView->release();
        fHandler->release();
        CoreFoundationTesting::runUntilIdle();
        WebKitTesting::reset();
        std::filesystem::remove_all(fFolder);
    }

    void load(const std::filesystem::path& file, const std::filesystem::path& folder)
    {
        NS::String filePath = NS::createStringWithUTF8(file.string());
        NS::String folderPath = NS::createStringWithUTF8(folder.string());
        NS::URL fileURL = NS::fileURLWithPath(filePath);
        NS::URL folderURL = NS::fileURLWithPath(folderPath, true);
        fView->loadFileURL(fileURL, folderURL);
        for (CFTypeRef object :
             {CFTypeRef(filePath), CFTypeRef(folderPath), CFTypeRef(fileURL), CFTypeRef(folderURL)}) {
            CFRelease(object);
        }
    }

    void evaluate(const char* script)
    {
        NS::String text = NS::createStringWithUTF8(script);
        fView->evaluateJavaScript(text, nullptr);
        CFRelease(text);
    }

    RecordingHandler* fHandler = nullptr;
    WK::WebView* fView = nullptr;
    std::vector<std::string> fEvents;
    std::filesystem::path fFolder;
};

TEST_F(WebKitFixture, MessagesReachTheHandlerOnTheMainThreadOnALaterTurnInOrder)
{
    WebKitTesting::postScriptMessage(fView, "msgJStoObjC", "first");
    WebKitTesting::postScriptMessage(fView, "msgJStoObjC", "second");
    EXPECT_TRUE(fHandler->fNames.empty()) << "delivered on a later turn";
    CoreFoundationTesting::runUntilIdle();
    ASSERT_EQ(fHandler->fBodies.size(), 2u);
    EXPECT_TRUE(NS::isEqualToString(static_cast<NS::String>(fHandler->fBodies[0]), CFSTR("first")));
    EXPECT_TRUE(NS::isEqualToString(static_cast<NS::String>(fHandler->fBodies[1]), CFSTR("second")));
    EXPECT_EQ(fHandler->fOnMainThread, (std::vector<bool>{true, true}));
}

TEST_F(WebKitFixture, BodiesBecomeThePlatformsValueTypes)
{
    const std::vector<std::pair<nlohmann::json, CFTypeID>> rows = {
        {"text", CFStringGetTypeID()}, {1.5, CFNumberGetTypeID()},     {true, CFBooleanGetTypeID()},
        {nullptr, NS::Null::typeID()}, {{1, "a"}, CFArrayGetTypeID()}, {{{"a", 1}}, CFDictionaryGetTypeID()},
    };
    for (const auto& row : rows) {
        WebKitTesting::postScriptMessage(fView, "msgJStoObjC", row.first);
    }
    CoreFoundationTesting::runUntilIdle();
    ASSERT_EQ(fHandler->fBodies.size(), rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(CFGetTypeID(fHandler->fBodies[i]), rows[i].second) << rows[i].first.dump();
    }
    EXPECT_EQ(CFArrayGetCount(static_cast<CFArrayRef>(fHandler->fBodies[4])), 2);
}

TEST_F(WebKitFixture, MessagesToUnknownNamesAreDroppedAndDuplicateNamesThrow)
{
    WebKitTesting::postScriptMessage(fView, "other", "x");
    CoreFoundationTesting::runUntilIdle();
    EXPECT_TRUE(fHandler->fNames.empty());
    ASSERT_EQ(WebKitTesting::droppedMessages().size(), 1u);
    EXPECT_EQ(WebKitTesting::droppedMessages()[0].fName, "other");
    EXPECT_THROW(fView->configuration()->userContentController()->addScriptMessageHandler(
                     fHandler, CFSTR("msgJStoObjC")),
                 NS::Exception);
}

TEST_F(WebKitFixture, ScriptsAreRecordedInOrderAndReachOnlyALoadedPage)
{
    load(fFolder / "site/index.html", fFolder / "site");
    evaluate("early()");
    CoreFoundationTesting::runUntilIdle();
    evaluate("late()");
    const std::vector<WebKitTesting::ScriptRecord> scripts = WebKitTesting::scripts();
    ASSERT_EQ(scripts.size(), 2u);
    EXPECT_FALSE(scripts[0].fReachedPage);
    EXPECT_TRUE(scripts[1].fReachedPage);
    EXPECT_LT(scripts[0].fSequence, scripts[1].fSequence);
    ASSERT_EQ(fEvents.size(), 2u);
    EXPECT_EQ(fEvents[1], "late()");
}

TEST_F(WebKitFixture, AScriptOffTheMainThreadEndsTheProcess)
{
    EXPECT_DEATH(std::thread([this] { evaluate("x()"); }).join(), "evaluateJavaScript:completionHandler:");
}

TEST_F(WebKitFixture, AMissingFileOrOneOutsideTheFolderFailsToLoad)
{
    load(fFolder / "site/missing.html", fFolder / "site");
    load(fFolder / "outside.html", fFolder / "site");
    load(fFolder / "site/../outside.html", fFolder / "site");
    CoreFoundationTesting::runUntilIdle();
    for (const WebKitTesting::LoadRecord& record : WebKitTesting::loads()) {
        EXPECT_EQ(record.fOutcome, WebKitTesting::LoadRecord::Failed) << record.fFileURL;
    }
    EXPECT_EQ(WebKitTesting::pageOf(fView), nullptr);
    EXPECT_TRUE(fEvents.empty());
}

TEST_F(WebKitFixture, PreferencesKnowTheirKeysAndRefuseOthers)
{
    WK::Preferences* preferences = fView->configuration()->preferences();
    EXPECT_EQ(preferences->valueForKey(CFSTR("javaScriptEnabled")), kCFBooleanTrue);
    for (NS::String key : {CFSTR("developerExtrasEnabled"), CFSTR("allowFileAccessFromFileURLs")}) {
        EXPECT_EQ(preferences->valueForKey(key), kCFBooleanFalse);
        preferences->setValueForKey(kCFBooleanTrue, key);
        EXPECT_EQ(preferences->valueForKey(key), kCFBooleanTrue);
    }
    EXPECT_THROW(preferences->setValueForKey(kCFBooleanTrue, CFSTR("developerExtrasEnabeld")), NS::Exception);
}

TEST_F(WebKitFixture, AReleasedUIDelegateReadsBackNull)
{
    auto* delegate = new WK::UIDelegate;
    fView->setUIDelegate(delegate);
    EXPECT_EQ(fView->UIDelegate(), delegate);
    delegate->release();
    EXPECT_EQ(fView->UIDelegate(), nullptr);
}

} // namespace
