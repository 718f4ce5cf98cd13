#include "MainMenu.h"

#include "AppDelegate.h"

#include "ScopedObjc.h"

namespace MainMenu {

namespace {

constexpr double kWidth = 480;
constexpr double kHeight = 270;

// The nib's top-level objects live as long as the application; a new load replaces them.
Cocoa::scoped_objc<AppDelegate> gDelegate;

NS::Button* makeButton(NS::View* content, double x, NS::String title, AppDelegate* target, NS::Action action)
{
    NS::Button* button = NS::Button::create(NS::MakeRect(x, 30, 160, 32), title);
    button->setTarget(target);
    button->setAction(action);
    content->addSubview(button);
    button->release();
    return button;
}

} // namespace

void Register()
{
    NS::registerNib("MainMenu", Build);
}

void Build()
{
    gDelegate.reset(AppDelegate::create());
    AppDelegate* delegate = gDelegate.get();
    NS::Application& application = NS::Application::sharedApplication();
    application.setDelegate(delegate);

    NS::Window* window = NS::Window::create(NS::MakeRect(0, 0, kWidth, kHeight));
    NS::View* content = window->contentView();
    NS::TextField* status = NS::TextField::labelWithString(CFSTR(""));
    status->setFrame(NS::MakeRect(40, 150, kWidth - 80, 24));
    content->addSubview(status);
    status->release();
    delegate->window = window;
    delegate->statusText = status;
    delegate->openMonitorBtn =
        makeButton(content, 60, CFSTR("Open Vork Monitor"), delegate, AppDelegate::openMonitor);
    delegate->openConsoleBtn =
        makeButton(content, 260, CFSTR("Open Vork Console"), delegate, AppDelegate::openConsole);
    window->release();

    NS::Menu* mainMenu = NS::Menu::create(CFSTR("Main Menu"));
    NS::MenuItem* appItem = NS::MenuItem::create(CFSTR("App"));
    NS::Menu* appMenu = NS::Menu::create(CFSTR("App"));
    NS::MenuItem* quitItem = NS::MenuItem::create(CFSTR("Quit"));
    appMenu->addItem(quitItem);
    appItem->setSubmenu(appMenu);
    mainMenu->addItem(appItem);
    application.setMainMenu(mainMenu);
    delegate->appMenuItem = appItem;
    delegate->quitMenuItem = quitItem;
    quitItem->release();
    appMenu->release();
    appItem->release();
    mainMenu->release();

    delegate->awakeFromNib();
}

} // namespace MainMenu
