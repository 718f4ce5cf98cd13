#pragma once

// What the main nib builds: only the application's delegate, since the window and the web view are
// made in code once launching has finished.

#include <cstdint>

class AppDelegate;

namespace MainMenu {

// Registers the builder; its delegate's discovery listens on `udpPort` (0: any free port).
void Register(uint16_t udpPort);
void Build();
// The delegate the last build made, kept for the life of the application.
AppDelegate* delegate();
// Lets the delegate go.
void Release();

} // namespace MainMenu
