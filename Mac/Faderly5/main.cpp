#include "MainMenu.h"

#include <AppKit/NSApplication.h>

int main(int argc, const char** argv)
{
    MainMenu::Register(1280);
    return NSApplicationMain(argc, argv);
}
