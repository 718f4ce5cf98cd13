// Hidden views, enabled buttons and the progress bar's values.

#include <AppKit/AppKit.h>

#include <gtest/gtest.h>

namespace {

int gClicks = 0;

void countClick(NS::Object*, NS::Object*)
{
    ++gClicks;
}

} // namespace

TEST(ControlState, DisabledButtonIgnoresClicks)
{
    gClicks = 0;
    NS::Button* button = NS::Button::create(NS::MakeRect(0, 0, 100, 30), CFSTR("OK"));
    button->setAction(countClick);
    button->setEnabled(false);
    button->performClick();
    EXPECT_EQ(gClicks, 0);
    button->setEnabled(true);
    button->performClick();
    EXPECT_EQ(gClicks, 1);
    button->release();
}

TEST(ControlState, HiddenViewStaysInItsSuperview)
{
    NS::View* parent = NS::View::create(NS::MakeRect(0, 0, 100, 100));
    NS::View* child = NS::View::create(NS::MakeRect(0, 0, 10, 10));
    parent->addSubview(child);
    child->setHidden(true);
    EXPECT_TRUE(child->isHidden());
    EXPECT_EQ(parent->subviews().size(), 1u);
    child->setHidden(false);
    EXPECT_FALSE(child->isHidden());
    child->release();
    parent->release();
}

TEST(ControlState, ProgressValueStaysWithinItsRange)
{
    NS::ProgressIndicator* bar = NS::ProgressIndicator::create(NS::MakeRect(0, 0, 200, 20));
    bar->setMinValue(0);
    bar->setMaxValue(100);
    for (auto [set, read] : {std::pair{42.0, 42.0}, {150.0, 100.0}, {-3.0, 0.0}}) {
        bar->setDoubleValue(set);
        EXPECT_EQ(bar->doubleValue(), read);
    }
    bar->release();
}
