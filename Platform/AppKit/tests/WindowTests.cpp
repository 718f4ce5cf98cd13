#include <AppKit/NSApplication.h>
#include <AppKit/NSScreen.h>
#include <AppKit/NSWindow.h>
#include <AppKitTesting/Application.h>
#include <AppKitTesting/Windows.h>

#include <gtest/gtest.h>

namespace {

constexpr unsigned long kMixerMask = NS::WindowStyleMaskTitled | NS::WindowStyleMaskClosable |
                                     NS::WindowStyleMaskMiniaturizable | NS::WindowStyleMaskResizable;

class QuietWindow : public NS::Window
{
public:
    static QuietWindow* make()
    {
        return new QuietWindow(NS::MakeRect(0, 0, 300, 200), kMixerMask, NS::BackingStoreBuffered, false);
    }
    void keyDown(NS::Event*) override {}

private:
    using NS::Window::Window;
};

class WindowFixture : public testing::Test
{
protected:
    void TearDown() override { AppKitTesting::resetApplication(); }
};

TEST_F(WindowFixture, ReadsBackItsMakingAndKeepsItsContentViewSizedToTheContent)
{
    NS::Window* window = NS::Window::initWithContentRect(NS::MakeRect(0, 0, 1140, 820), kMixerMask,
                                                         NS::BackingStoreBuffered, false);
    EXPECT_EQ(window->styleMask(), 15u);
    EXPECT_EQ(window->backingType(), NS::BackingStoreBuffered);
    EXPECT_FALSE(window->isDeferred());
    EXPECT_EQ(window->frame().size, (NS::Size{1140, 820 + NS::Window::kTitleBarHeight}));
    NS::View* view = NS::View::create(NS::MakeRect(5, 5, 10, 10));
    window->setContentView(view);
    EXPECT_EQ(view->frame(), NS::MakeRect(0, 0, 1140, 820));
    window->setMinSize(NS::Size{800, 400});
    AppKitTesting::resize(window, NS::Size{500, 300});
    EXPECT_EQ(window->frame().size, (NS::Size{800, 400}));
    EXPECT_EQ(view->frame().size, (NS::Size{800, 400 - NS::Window::kTitleBarHeight}));
    view->release();
    window->release();
}

TEST_F(WindowFixture, CentresSomewhatAboveTheMiddleOfTheVisibleScreen)
{
    AppKitTesting::setMainScreen(NS::MakeRect(0, 0, 1000, 900), 30);
    EXPECT_EQ(NS::Screen::mainScreen()->visibleFrame(), NS::MakeRect(0, 0, 1000, 870));
    NS::Window* window = NS::Window::initWithContentRect(NS::MakeRect(0, 0, 400, 242), kMixerMask,
                                                         NS::BackingStoreBuffered, false);
    window->center();
    // 600 points of free height: 200 above the window, 400 below.
    EXPECT_EQ(window->frame().origin, (NS::Point{300, 400}));
    window->release();
}

TEST_F(WindowFixture, APlainWindowBeepsAtAKeyAndAnOverridingOneSwallowsIt)
{
    NS::Window* plain = NS::Window::initWithContentRect(NS::MakeRect(0, 0, 300, 200), kMixerMask,
                                                        NS::BackingStoreBuffered, false);
    QuietWindow* quiet = QuietWindow::make();
    AppKitTesting::sendKeyDown(quiet, "a");
    EXPECT_TRUE(AppKitTesting::beeps().empty());
    AppKitTesting::sendKeyDown(plain, "a");
    EXPECT_EQ(AppKitTesting::beeps().size(), 1u);
    plain->release();
    quiet->release();
}

TEST_F(WindowFixture, ClosingKeepsTheCountUnlessReleasedWhenClosed)
{
    NS::Window* kept = NS::Window::initWithContentRect(NS::MakeRect(0, 0, 300, 200), kMixerMask,
                                                       NS::BackingStoreBuffered, false);
    kept->setReleasedWhenClosed(false);
    kept->makeKeyAndOrderFront(nullptr);
    EXPECT_TRUE(kept->isKeyWindow());
    kept->retain();
    const unsigned long count = kept->retainCount();
    AppKitTesting::performClose(kept);
    EXPECT_EQ(kept->retainCount(), count);
    EXPECT_FALSE(kept->isVisible());
    EXPECT_FALSE(kept->isKeyWindow());

    NS::Window* released = NS::Window::initWithContentRect(NS::MakeRect(0, 0, 300, 200), kMixerMask,
                                                           NS::BackingStoreBuffered, false);
    released->retain();
    released->close();
    EXPECT_EQ(released->retainCount(), 1u);
    released->release();
    kept->release();
    kept->release();
}

} // namespace
