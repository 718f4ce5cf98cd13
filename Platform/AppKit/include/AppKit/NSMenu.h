#pragma once

// Menus and their items. Made with a retain count of one; a menu retains its items, an item its
// submenu.

#include <Foundation/NSObject.h>
#include <Foundation/NSTypes.h>

#include <vector>

namespace NS {

class Menu;

class MenuItem : public Object
{
public:
    static MenuItem* create(String title) { return new MenuItem(title); }

    String title() const { return fTitle; }
    void setTitle(String title);
    Menu* submenu() const { return fSubmenu; }
    void setSubmenu(Menu* submenu);

private:
    explicit MenuItem(String title);
    ~MenuItem() override;

    String fTitle;
    Menu* fSubmenu = nullptr;
};

class Menu : public Object
{
public:
    static Menu* create(String title) { return new Menu(title); }

    String title() const { return fTitle; }
    void addItem(MenuItem* item);
    const std::vector<MenuItem*>& items() const { return fItems; }

private:
    explicit Menu(String title);
    ~Menu() override;

    String fTitle;
    std::vector<MenuItem*> fItems;
};

} // namespace NS
