#include <AppKit/AppKit.h>
#include <AppKitTesting/Application.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> gEvents;

// A delegate that records what the application tells it.
class Delegate : public NS::ApplicationDelegate
{
public:
    void applicationDidFinishLaunching(NS::Object*) override { gEvents.push_back("launched"); }
    bool applicationShouldTerminateAfterLastWindowClosed(NS::Application*) override
    {
        gEvents.push_back("last window closed");
        return true;
    }
    void applicationWillTerminate(NS::Object*) override { gEvents.push_back("will terminate"); }
};

Delegate gDelegate;
NS::Window* gWindow = nullptr;

void buildNib()
{
    gEvents.push_back("nib");
    NS::Application::sharedApplication().setDelegate(&gDelegate);
    gWindow = NS::Window::create(NS::MakeRect(0, 0, 400, 200));
    gWindow->release();
}

class Application : public testing::Test
{
protected:
    void SetUp() override { gEvents.clear(); }
    void TearDown() override { AppKitTesting::resetApplication(); }
};

TEST_F(Application, MainBuildsTheNibLaunchesRunsStepsAndEndsWhenTheLastWindowCloses)
{
    NS::registerNib("MainMenu", buildNib);
    AppKitTesting::afterLaunch({[] { gEvents.push_back("step 1"); },
                                [] {
                                    gEvents.push_back("step 2");
                                    gWindow->close();
                                },
                                [] { gEvents.push_back("never"); }});
    const char* arguments[] = {"app"};
    EXPECT_EQ(NSApplicationMain(1, arguments), 0);
    EXPECT_EQ(gEvents, (std::vector<std::string>{"nib", "launched", "step 1", "step 2", "last window closed",
                                                 "will terminate"}));
    EXPECT_TRUE(NS::Application::sharedApplication().windows().empty());
    EXPECT_FALSE(NS::Application::sharedApplication().isRunning());
}

// Records the target and sender an action reaches.
class Target : public NS::Object
{
public:
    static void clicked(NS::Object* target, NS::Object* sender)
    {
        static_cast<Target*>(target)->fSender = sender;
    }
    NS::Object* fSender = nullptr;
};

TEST(Button, AClickSendsTheActionToTheTarget)
{
    Target* target = new Target;
    NS::Button* button = NS::Button::create(NS::MakeRect(0, 0, 80, 20), CFSTR("Open"));
    button->setTarget(target);
    button->setAction(Target::clicked);
    button->performClick();
    EXPECT_EQ(target->fSender, button);
    button->release();
    target->release();
}

TEST(AttributedString, AColourOverARangeColoursOnlyThoseCharacters)
{
    NS::AttributedString title(CFSTR("Open Monitor"), NS::Font::systemFontOfSize(13));
    const NS::Color grey = NS::Color::colorWithRed(0.75, 0.75, 0.75, 1);
    title.addForegroundColor(grey, {5, 100});
    EXPECT_EQ(title.length(), 12);
    EXPECT_EQ(title.foregroundColorAtIndex(4), std::nullopt);
    EXPECT_EQ(title.foregroundColorAtIndex(5), grey);
    EXPECT_EQ(title.foregroundColorAtIndex(11), grey);
    EXPECT_EQ(title.foregroundColorAtIndex(12), std::nullopt);
}

TEST(AttributedString, MeasuredWidthIsPositiveGrowsWithTheTextAndRepeats)
{
    const NS::Font font = NS::Font::systemFontOfSize(13);
    const double short_ = NS::AttributedString(CFSTR("Installing"), font).size().width;
    const double long_ = NS::AttributedString(CFSTR("Installing system extension"), font).size().width;
    EXPECT_GT(short_, 0);
    EXPECT_GT(long_, short_);
    EXPECT_EQ(NS::AttributedString(CFSTR("Installing system extension"), font).size().width, long_);
    EXPECT_GT(NS::AttributedString(CFSTR("Installing"), NS::Font::systemFontOfSize(26)).size().width, short_);
    EXPECT_GT(NS::AttributedString(CFSTR("Installing"), font).size().height, 0);
}

TEST(TextField, PropertiesReadBack)
{
    NS::Window* window = NS::Window::create(NS::MakeRect(0, 0, 480, 270));
    NS::TextField* field = NS::TextField::create(NS::MakeRect(40, 40, 400, 100));
    window->contentView()->addSubview(field);
    field->setBounds(NS::MakeRect(0, 0, 400, 100));
    field->setStringValue(CFSTR("Error: x"));
    field->setPlaceholderString(CFSTR("hint"));
    field->setBezeled(false);
    field->setEditable(false);
    field->setSelectable(true);
    field->setDrawsBackground(false);
    field->setBackgroundColor(NS::Color::clearColor());
    field->setTextColor(NS::Color::colorWithRed(1, 0, 0, 1));
    field->setLineBreakStrategy(NS::LineBreakStrategy::PushOut);
    field->setNeedsDisplay(true);
    EXPECT_EQ(field->frame(), NS::MakeRect(40, 40, 400, 100));
    EXPECT_EQ(field->window(), window);
    EXPECT_TRUE(CFEqual(field->stringValue(), CFSTR("Error: x")));
    EXPECT_TRUE(CFEqual(field->placeholderString(), CFSTR("hint")));
    EXPECT_FALSE(field->isBezeled());
    EXPECT_FALSE(field->isEditable());
    EXPECT_TRUE(field->isSelectable());
    EXPECT_FALSE(field->drawsBackground());
    EXPECT_EQ(field->backgroundColor(), NS::Color::clearColor());
    EXPECT_EQ(field->textColor(), NS::Color::colorWithRed(1, 0, 0, 1));
    EXPECT_EQ(field->lineBreakStrategy(), NS::LineBreakStrategy::PushOut);
    EXPECT_TRUE(field->needsDisplay());
    field->release();
    window->close();
    window->release();
    AppKitTesting::resetApplication();
}

TEST(Workspace, RecordsTheApplicationsItLaunches)
{
    EXPECT_FALSE(NS::Workspace::sharedWorkspace().launchApplication(CFSTR("Vork Monitor")))
        << "no application bundle has that path";
    EXPECT_EQ(AppKitTesting::launchedApplications(), (std::vector<std::string>{"Vork Monitor"}));
    AppKitTesting::resetApplication();
}

} // namespace
