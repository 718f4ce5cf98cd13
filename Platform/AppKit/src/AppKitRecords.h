#pragma once

// What the window and screen model keep for tests: the beeps, the key window and the main screen.

#include <AppKit/NSWindow.h>

#include <cstdint>
#include <string>
#include <vector>

namespace AppKit {

std::vector<uint64_t> beeps();
// Forgets the beeps and the opened URLs.
void forgetRecords();

std::vector<std::string> openedURLs();
void recordOpenedURL(const std::string& url);

NS::Window* keyWindow();
void setKeyWindow(NS::Window* window);

void setMainScreen(NS::Rect frame, double menuBarHeight);
NS::Rect mainScreenFrame();
double menuBarHeight();

} // namespace AppKit
