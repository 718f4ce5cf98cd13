#pragma once

// Test seam of windows, the screen and the workspace: keys typed, frames dragged, the close button,
// beeps, and the URLs opened. AppKitTesting::resetApplication forgets the records and restores the
// 1920 x 1080 screen with its 25-point menu bar.

#include <AppKit/NSWindow.h>

#include <cstdint>
#include <string>
#include <vector>

namespace AppKitTesting {

// The window receives a key-down event typing `characters`.
void sendKeyDown(NS::Window* window, const std::string& characters);
// The user drags the frame to this size (clamped to the minimum size).
void resize(NS::Window* window, NS::Size size);
// The user clicks the close button.
void performClose(NS::Window* window);

// The record sequence numbers of the beeps so far.
std::vector<uint64_t> beeps();
std::vector<std::string> openedURLs();

void setMainScreen(NS::Rect frame, double menuBarHeight);

} // namespace AppKitTesting
