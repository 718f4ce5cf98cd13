#include <AppKit/NSMenu.h>

namespace NS {

namespace {

String retained(String string)
{
    return static_cast<String>(CFRetain(string != nullptr ? string : CFSTR("")));
}

} // namespace

MenuItem::MenuItem(String title) : fTitle(retained(title)) {}

MenuItem::~MenuItem()
{
    CFRelease(fTitle);
    if (fSubmenu != nullptr) {
        fSubmenu->release();
    }
}

void MenuItem::setTitle(String title)
{
    String old = fTitle;
    fTitle = retained(title);
    CFRelease(old);
}

void MenuItem::setSubmenu(Menu* submenu)
{
    if (submenu != nullptr) {
        submenu->retain();
    }
    if (fSubmenu != nullptr) {
        fSubmenu->release();
    }
    fSubmenu = submenu;
}

Menu::Menu(String title) : fTitle(retained(title)) {}

Menu::~Menu()
{
    CFRelease(fTitle);
    for (MenuItem* item : fItems) {
        item->release();
    }
}

void Menu::addItem(MenuItem* item)
{
    item->retain();
    fItems.push_back(item);
}

} // namespace NS
