#include "MainMenu.h"

#include <AppKit/NSApplication.h>

int main(int argc, const char** argv)
{
    MainMenu::Register();
    return NSApplicationMain(argc, argv);
}
