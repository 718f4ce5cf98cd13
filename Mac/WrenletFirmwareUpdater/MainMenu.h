#pragma once

// What the updater's main nib holds: the window with its labels, buttons and progress bar wired to
// the delegate's outlets and actions.

#include "USB_FPGA.h"

namespace MainMenu {

// Registers the builder as the nib NSApplicationMain loads; the delegate runs FPGA stages with
// `player`.
void Register(USB_FPGA::Player player);
// Builds everything and connects the outlets; the delegate lives until the next build or Release.
void Build();
void Release();

} // namespace MainMenu
