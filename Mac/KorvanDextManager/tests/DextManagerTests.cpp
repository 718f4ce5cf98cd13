#include "AppDelegate.h"
#include "MainMenu.h"

#include <AppKitTesting/Application.h>
#include <DarwinTesting/LogCapture.h>
#include <FoundationTesting/Arguments.h>
#include <SystemExtensionsTesting/Script.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace SystemExtensionsTesting;
using OS::SystemExtensionRequestResult;

namespace {

constexpr const char* kInstalled = "System extension version 2.0.0+95375 installed";
constexpr const char* kVersion = "2.0.0+95375";
const NS::Color kWhite{1, 1, 1, 1};
const NS::Color kGreen{0, 1, 0, 1};
const NS::Color kRed{1, 0, 0, 1};

std::string text(CFStringRef string)
{
    if (string == nullptr) {
        return {};
    }
    char buffer[512] = {};
    CFStringGetCString(string, buffer, sizeof(buffer), kCFStringEncodingUTF8);
    return buffer;
}

AppDelegate& delegate()
{
    return *dynamic_cast<AppDelegate*>(NS::Application::sharedApplication().delegate());
}

// What the window shows at a checkpoint.
struct Snapshot
{
    std::string status;
    NS::Color color;
    bool visible;
    std::string error;

    bool operator==(const Snapshot&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Snapshot& s)
{
    return out << "{" << s.status << ", (" << s.color.red << " " << s.color.green << " " << s.color.blue
               << " " << s.color.alpha << "), " << (s.visible ? "visible" : "hidden") << ", \"" << s.error
               << "\"}";
}

class DextManager : public testing::Test
{
protected:
    static void SetUpTestSuite() { MainMenu::Register(); }
    void TearDown() override { AppKitTesting::resetApplication(); }

    Step Record()
    {
        return checkpoint([this] {
            AppDelegate& app = delegate();
            NS::TextField* error = app.errorDescription();
            fSnapshots.push_back({text(app.statusText->stringValue()), app.statusText->textColor(),
                                  app.window->isVisible(),
                                  error != nullptr ? text(error->stringValue()) : ""});
        });
    }

    static Step CloseWindow()
    {
        return checkpoint([] { delegate().window->close(); });
    }

    // Runs the app as it would be started with `arguments` against `steps`.
    void Run(std::vector<std::string> arguments, std::vector<Step> steps)
    {
        Script script(std::move(steps));
        Launch(arguments);
        fSubmissions = script.submissions();
    }

    // Runs the app as it would be started with `arguments`, against what the system does itself.
    static void Launch(const std::vector<std::string>& arguments)
    {
        FoundationTesting::Arguments given(arguments);
        std::vector<const char*> argv;
        for (const std::string& argument : arguments) {
            argv.push_back(argument.c_str());
        }
        EXPECT_EQ(NSApplicationMain(int(argv.size()), argv.data()), 0);
    }

    bool Logged(const std::string& line) const
    {
        const std::vector<std::string> lines = fLog.texts(DarwinTesting::LogSource::NSLog);
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    DarwinTesting::LogCapture fLog;
    std::vector<Snapshot> fSnapshots;
    std::vector<Submission> fSubmissions;
};

struct Scenario
{
    const char* name;
    std::vector<Step> (*steps)(DextManager&, Step record);
    std::vector<Snapshot> expected;
    std::vector<const char*> lines;
};

std::vector<Snapshot> installedTwice()
{
    return {{kInstalled, kGreen, true, ""}, {kInstalled, kGreen, true, ""}};
}

const Scenario kScenarios[] = {
    {"Launch",
     [](DextManager&, Step record) { return std::vector<Step>{record}; },
     {{"Installing system extension", kWhite, true, ""}},
     {"Activation request for com.vork.driver.tide.dext"}},
    {"ApprovalThenFinish",
     [](DextManager&, Step record) {
         return std::vector<Step>{needsApproval(), record, finish(SystemExtensionRequestResult::Completed),
                                  record};
     },
     {{"Waiting for user approval", kWhite, true, ""}, {kInstalled, kGreen, true, ""}},
     {"SYSX activation request succeeded"}},
    {"FinishAfterReboot",
     [](DextManager&, Step record) {
         return std::vector<Step>{finish(SystemExtensionRequestResult::WillCompleteAfterReboot), record};
     },
     {{kInstalled, kGreen, true, ""}},
     {"SYSX activation request succeeded"}},
    {"EqualVersionKeptThroughTheCancelledFailure",
     [](DextManager&, Step record) {
         return std::vector<Step>{replace(kVersion, kVersion), record};
     },
     {{kInstalled, kGreen, true, ""}},
     {"DEXT already installed"}},
    {"OtherVersionReplaced",
     [](DextManager&, Step record) {
         return std::vector<Step>{replace("1.0.0+1", kVersion), record,
                                  finish(SystemExtensionRequestResult::Completed), record};
     },
     installedTwice(),
     {"Upgrading DEXT", "SYSX activation request succeeded"}},
    {"FailedReplacementShownAsFailed",
     [](DextManager&, Step record) {
         return std::vector<Step>{replace("1.0.0+1", kVersion), record, fail(1, "Replacement failed."),
                                  record};
     },
     {{kInstalled, kGreen, true, ""}, {"Installation failed", kRed, true, "Error: Replacement failed."}},
     {"Upgrading DEXT", "SYSX activation request failed", "Replacement failed."}},
    {"FailureFirst",
     [](DextManager&, Step record) {
         return std::vector<Step>{fail(4, "Extension not found."), record};
     },
     {{"Installation failed", kRed, true, "Error: Extension not found."}},
     {"SYSX activation request failed", "Extension not found."}},
};

class Scenarios : public DextManager, public testing::WithParamInterface<Scenario>
{};

TEST_P(Scenarios, ShowHowTheActivationGoes)
{
    const Scenario& scenario = GetParam();
    std::vector<Step> steps = scenario.steps(*this, Record());
    steps.push_back(CloseWindow());
    Run({"tide-dext-manager"}, std::move(steps));
    EXPECT_EQ(fSnapshots, scenario.expected);
    for (const char* line : scenario.lines) {
        EXPECT_TRUE(Logged(line)) << line;
    }
    ASSERT_EQ(fSubmissions.size(), 1u);
    EXPECT_EQ(fSubmissions[0].identifier, "com.vork.driver.tide.dext");
    EXPECT_EQ(fSubmissions[0].queue, dispatch_get_main_queue());
}

INSTANTIATE_TEST_SUITE_P(Table, Scenarios, testing::ValuesIn(kScenarios),
                         [](const testing::TestParamInfo<Scenario>& info) { return info.param.name; });

struct InstallerCase
{
    const char* name;
    Step first;
};

class InstallerMode : public DextManager, public testing::WithParamInterface<InstallerCase>
{};

TEST_P(InstallerMode, QuitsAtTheFirstOutcomeWithTheWindowNeverShown)
{
    Run({"tide-dext-manager", "calledFromInstaller"},
        {GetParam().first, Record(), finish(SystemExtensionRequestResult::Completed), Record(),
         CloseWindow()});
    EXPECT_TRUE(fSnapshots.empty()) << "nothing after the first outcome is delivered";
    EXPECT_FALSE(delegate().window->isVisible());
}

INSTANTIATE_TEST_SUITE_P(Table, InstallerMode,
                         testing::Values(InstallerCase{"Approval", needsApproval()},
                                         InstallerCase{"Finish",
                                                       finish(SystemExtensionRequestResult::Completed)},
                                         InstallerCase{"Failure", fail(1, "failed")}),
                         [](const testing::TestParamInfo<InstallerCase>& info) { return info.param.name; });

TEST_F(DextManager, WithoutAScriptTheUserApprovesAndSeesTheExtensionInstalled)
{
    std::vector<std::string> statuses;
    const auto status = [&] { statuses.push_back(text(delegate().statusText->stringValue())); };
    // Each of the system's answers takes a turn of the main queue, as each of these steps does.
    AppKitTesting::afterLaunch({status, status, [] { delegate().window->close(); }});
    Launch({"tide-dext-manager"});
    EXPECT_EQ(statuses, (std::vector<std::string>{"Waiting for user approval", kInstalled}));
    EXPECT_TRUE(Logged("SYSX activation request succeeded"));
}

TEST_F(DextManager, TheInstallerArgumentCountsOnlyAsTheFirstArgumentSpelledExactly)
{
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"tide-dext-manager", "x", "calledFromInstaller"},
          std::vector<std::string>{"tide-dext-manager", "calledfromInstaller"}}) {
        fSnapshots.clear();
        Run(arguments, {needsApproval(), Record(), CloseWindow()});
        EXPECT_EQ(fSnapshots, (std::vector<Snapshot>{{"Waiting for user approval", kWhite, true, ""}}));
        AppKitTesting::resetApplication();
    }
}

TEST_F(DextManager, AwakeFromNibColoursTheButtonTitlesAndNamesTheApp)
{
    Run({"tide-dext-manager"}, {checkpoint([] {
                                    AppDelegate& app = delegate();
                                    const NS::Color grey{0.75, 0.75, 0.75, 1};
                                    for (NS::Button* button : {app.openMonitorBtn, app.openConsoleBtn}) {
                                        const NS::AttributedString& title = button->attributedTitle();
                                        ASSERT_GT(title.length(), 0);
                                        for (long i = 0; i < title.length(); ++i) {
                                            EXPECT_EQ(title.foregroundColorAtIndex(i), grey) << i;
                                        }
                                    }
                                    EXPECT_EQ(text(app.window->title()), "Vork Tide System Extension");
                                    EXPECT_EQ(text(app.appMenuItem->title()), "Vork Tide System Extension");
                                    EXPECT_EQ(text(app.quitMenuItem->title()),
                                              "Quit Vork Tide System Extension");
                                }),
                                CloseWindow()});
    EXPECT_TRUE(Logged("void AppDelegate::awakeFromNib()"));
}

TEST_F(DextManager, TheLabelIsCentredOnItsOldFrameWithTheMeasuredWidth)
{
    std::vector<NS::Rect> frames;
    auto frame = [&] { return checkpoint([&] { frames.push_back(delegate().statusText->frame()); }); };
    Run({"tide-dext-manager"}, {frame(), needsApproval(), frame(), fail(1, "x"), frame(), CloseWindow()});
    ASSERT_EQ(frames.size(), 3u);
    const NS::Font font = NS::Font::systemFontOfSize(NS::Font::systemFontSize());
    const char* texts[] = {"Waiting for user approval", "Installation failed"};
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(texts[i]);
        CFStringRef string = CFStringCreateWithCString(nullptr, texts[i], kCFStringEncodingUTF8);
        const double w = NS::AttributedString(string, font).size().width;
        CFRelease(string);
        const NS::Rect before = frames[i];
        EXPECT_GT(w, 0);
        EXPECT_EQ(frames[i + 1], NS::MakeRect(before.origin.x + before.size.width * 0.5 - w * 0.5,
                                              before.origin.y, w + 10, before.size.height));
    }
}

TEST_F(DextManager, TheErrorTextSitsBelowTheLabelInRed)
{
    Run({"tide-dext-manager"}, {fail(4, "Extension not found."), checkpoint([] {
                                    AppDelegate& app = delegate();
                                    NS::TextField* error = app.errorDescription();
                                    ASSERT_NE(error, nullptr);
                                    const NS::Rect b = app.window->contentView()->bounds();
                                    const double y = app.statusText->frame().origin.y;
                                    EXPECT_EQ(error->superview(), app.window->contentView());
                                    EXPECT_EQ(error->frame(),
                                              NS::MakeRect(b.origin.x + 40, 40, b.size.width - 80, y - 80));
                                    EXPECT_EQ(error->bounds(), NS::MakeRect(0, 0, b.size.width - 80, y - 80));
                                    EXPECT_FALSE(error->isBezeled());
                                    EXPECT_FALSE(error->isEditable());
                                    EXPECT_TRUE(error->isSelectable());
                                    EXPECT_FALSE(error->drawsBackground());
                                    EXPECT_EQ(error->backgroundColor(), NS::Color::clearColor());
                                    EXPECT_EQ(error->textColor(), kRed);
                                    EXPECT_EQ(error->lineBreakStrategy(), NS::LineBreakStrategy::PushOut);
                                    EXPECT_TRUE(error->needsDisplay());
                                }),
                                CloseWindow()});
}

TEST_F(DextManager, TheButtonsOpenTheSiblingAppsAndClosingTheWindowQuits)
{
    AppKitTesting::afterLaunch({[] { delegate().openMonitorBtn->performClick(); },
                                [] { delegate().openConsoleBtn->performClick(); },
                                [] { delegate().window->close(); }});
    Run({"tide-dext-manager"}, {});
    EXPECT_EQ(AppKitTesting::launchedApplications(),
              (std::vector<std::string>{"Vork Monitor", "Vork Console"}));
    EXPECT_FALSE(NS::Application::sharedApplication().isRunning());
}

TEST_F(DextManager, SetTextFieldTextSetsThePlaceholderAndColour)
{
    MainMenu::Build();
    NS::TextField* field = NS::TextField::create(NS::MakeRect(0, 0, 100, 20));
    delegate().setTextFieldText(field, CFSTR("hint"), kRed);
    EXPECT_EQ(text(field->placeholderString()), "hint");
    EXPECT_EQ(field->textColor(), kRed);
    field->release();
}

TEST(DextManagerProcess, FromTheInstallerItQuitsAfterApprovalWithItsLinesOnStandardError)
{
    FILE* output = popen(DEXT_MANAGER_EXECUTABLE " calledFromInstaller 2>&1", "r");
    ASSERT_NE(output, nullptr);
    std::string all;
    char buffer[512];
    while (std::fgets(buffer, sizeof(buffer), output) != nullptr) {
        all += buffer;
    }
    const int status = pclose(output);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(all.find("Activation request for com.vork.driver.tide.dext"), std::string::npos) << all;
    EXPECT_NE(all.find("requestNeedsUserApproval"), std::string::npos) << all;
}

} // namespace
