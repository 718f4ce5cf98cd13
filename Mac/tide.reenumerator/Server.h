#pragma once

// The daemon's XPC side: one listener on the mach service; each peer serves one message and is
// then cancelled. No reply is ever sent.

#include <xpc/xpc.h>

namespace Server {

inline constexpr const char* kMachServiceName = "com.vork.tide.reenumerator";

// Creates the listener, sets its handler and resumes it; answers the listener.
xpc_connection_t Listen();
// Listens, then serves on dispatch_main.
void Main();

void HandleListenerEvent(xpc_object_t event);
void HandlePeerEvent(xpc_connection_t peer, xpc_object_t event);

} // namespace Server
