#include "MainMenu.h"

#include "AppDelegate.h"

#include "ScopedObjc.h"

namespace MainMenu {

namespace {

constexpr double kWidth = 520;
constexpr double kHeight = 300;
constexpr double kMargin = 20;
constexpr double kLineHeight = 24;

USB_FPGA::Player gPlayer;
Cocoa::scoped_objc<AppDelegate> gDelegate;

NS::TextField* AddLabel(NS::View* content, double x, double y, double width)
{
    NS::TextField* label = NS::TextField::labelWithString(CFSTR(""));
    label->setFrame(NS::MakeRect(x, y, width, kLineHeight));
    content->addSubview(label);
    label->release();
    return label;
}

NS::Button* AddButton(NS::View* content, double x, double y, NS::String title, AppDelegate* target,
                      NS::Action action)
{
    NS::Button* button = NS::Button::create(NS::MakeRect(x, y, 120, 32), title);
    button->setTarget(target);
    button->setAction(action);
    content->addSubview(button);
    button->release();
    return button;
}

} // namespace

void Register(USB_FPGA::Player player)
{
    gPlayer = std::move(player);
    NS::registerNib("MainMenu", Build);
}

void Build()
{
    gDelegate.reset(AppDelegate::create(gPlayer));
    AppDelegate* delegate = gDelegate.get();
    NS::Application::sharedApplication().setDelegate(delegate);

    NS::Window* window = NS::Window::create(NS::MakeRect(0, 0, kWidth, kHeight));
    NS::View* content = window->contentView();
    const double column = kWidth / 2;
    delegate->window = window;
    delegate->DeviceLabel = AddLabel(content, kMargin, 250, column - kMargin);
    delegate->DeviceVersionLabel = AddLabel(content, kMargin, 220, column - kMargin);
    delegate->FileLabel = AddLabel(content, column, 250, column - kMargin);
    delegate->FileVersionLabel = AddLabel(content, column, 220, column - kMargin);
    delegate->ProgressLabel = AddLabel(content, kMargin, 140, kWidth - 2 * kMargin);

    NS::ProgressIndicator* progress =
        NS::ProgressIndicator::create(NS::MakeRect(kMargin, 110, kWidth - 2 * kMargin, 20));
    progress->setHidden(true);
    content->addSubview(progress);
    progress->release();
    delegate->Progress = progress;

    delegate->CheckDeviceButton =
        AddButton(content, kMargin, 180, CFSTR("Check Device"), delegate, AppDelegate::CheckDevice);
    delegate->CheckDeviceButton->setHidden(true);
    delegate->ChooseFileButton =
        AddButton(content, column, 180, CFSTR("Choose File"), delegate, AppDelegate::ChooseUpdate);
    delegate->ClearFileButton =
        AddButton(content, column + 130, 180, CFSTR("Clear File"), delegate, AppDelegate::ClearFile);
    delegate->ClearFileButton->setEnabled(false);
    delegate->UpdateButton =
        AddButton(content, kWidth / 2 - 60, 40, CFSTR("Update"), delegate, AppDelegate::Update);
    delegate->UpdateButton->setEnabled(false);
    delegate->OKButton =
        AddButton(content, kWidth / 2 - 60, 40, CFSTR("OK"), delegate, AppDelegate::OKClicked);
    delegate->OKButton->setHidden(true);
    window->release();
}

void Release()
{
    NS::Application::sharedApplication().setDelegate(nullptr);
    gDelegate.reset();
}

} // namespace MainMenu
