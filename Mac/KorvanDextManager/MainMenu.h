#pragma once

// What the app's main nib holds: the window with the status label and the two buttons wired to
// their actions, the application menu, and the delegate with its outlets connected.

namespace MainMenu {

// Registers the builder as the nib NSApplicationMain loads.
void Register();
// Builds everything, connects the outlets, then wakes the delegate (awakeFromNib).
void Build();

} // namespace MainMenu
