#include "MainMenu.h"
#include "jam.h"

#include <AppKit/NSApplication.h>

int main(int argc, const char** argv)
{
    MainMenu::Register(jam);
    return NSApplicationMain(argc, argv);
}
