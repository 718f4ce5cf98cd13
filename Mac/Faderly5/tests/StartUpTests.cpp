#include "MixerFixture.h"

#include <Foundation/NSString.h>
#include <FoundationTesting/Activities.h>

namespace {

TEST_F(MixerFixture, StartsUpInTheOrderOfTheHost)
{
    launch();
    const std::vector<FoundationTesting::ActivityRecord> activities = FoundationTesting::activeActivities();
    ASSERT_EQ(activities.size(), 1u);
    EXPECT_EQ(activities[0].fOptions, 0x00EFFFFFu);
    EXPECT_EQ(activities[0].fReason, "Mixing features can't nap");

    WK::WebView* webView = fDelegate->webView();
    EXPECT_EQ(webView->configuration()->userContentController()->handlerNames(),
              std::vector<std::string>{"msgJStoObjC"});
    EXPECT_NE(webView->UIDelegate(), nullptr);
    WK::Preferences* preferences = webView->configuration()->preferences();
    EXPECT_EQ(preferences->valueForKey(CFSTR("developerExtrasEnabled")), kCFBooleanTrue);
    EXPECT_EQ(preferences->valueForKey(CFSTR("allowFileAccessFromFileURLs")), kCFBooleanTrue);

    const std::vector<WebKitTesting::LoadRecord> loads = WebKitTesting::loads();
    ASSERT_EQ(loads.size(), 1u);
    EXPECT_EQ(loads[0].fFileURL, "file://" + (resources() / "wrenlet/index.html").string());
    EXPECT_EQ(loads[0].fReadAccessURL, "file://" + (resources() / "wrenlet").string() + "/");
    EXPECT_EQ(loads[0].fOutcome, WebKitTesting::LoadRecord::Finished);
    EXPECT_LT(activities[0].fSequence, loads[0].fSequence);

    NS::Window* window = fDelegate->window();
    EXPECT_EQ(window->contentView(), webView);
    EXPECT_EQ(webView->frame().size, (NS::Size{1140, 820}));
    EXPECT_EQ(window->styleMask(), 15u);
    EXPECT_EQ(window->backingType(), NS::BackingStoreBuffered);
    EXPECT_FALSE(window->isDeferred());
    EXPECT_FALSE(window->isReleasedWhenClosed());
    EXPECT_EQ(window->minSize(), (NS::Size{800, 400}));
    EXPECT_TRUE(window->isKeyWindow());
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->frame().origin.x, (1920 - 1140) / 2.0);

    ASSERT_NE(page(), nullptr);
    EXPECT_EQ(page()->driverVersion(), "2.0.0+95035");
    EXPECT_TRUE(page()->problems().empty());
}

TEST_F(MixerFixture, WithoutItsPageFolderTheLoadFailsQuietlyAndTheBridgeStillAnswers)
{
    std::filesystem::remove_all(resources() / "wrenlet");
    launch();
    ASSERT_EQ(WebKitTesting::loads().size(), 1u);
    EXPECT_EQ(WebKitTesting::loads()[0].fOutcome, WebKitTesting::LoadRecord::Failed);
    post("driver");
    EXPECT_EQ(AppKitTesting::openedURLs(), std::vector<std::string>{"https://vork.example/downloads/tide"});
}

TEST_F(MixerFixture, AKeyInTheWindowDoesNotBeep)
{
    launch();
    AppKitTesting::sendKeyDown(fDelegate->window(), "a");
    EXPECT_TRUE(AppKitTesting::beeps().empty());
}

} // namespace
