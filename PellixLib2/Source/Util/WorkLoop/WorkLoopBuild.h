#pragma once

// The work-loop family is built twice from this source: into the UI library, in namespace Pellix,
// and with WORKLOOP_PLUGIN_BUILD defined into the audio-server plug-in in its older form: in the
// global namespace, with thread-bound loops only and without task posting.

#ifdef WORKLOOP_PLUGIN_BUILD
#define WORKLOOP_NAMESPACE_BEGIN
#define WORKLOOP_NAMESPACE_END
constexpr bool kWorkLoopPlugInBuild = true;
#else
#define WORKLOOP_NAMESPACE_BEGIN namespace Pellix {
#define WORKLOOP_NAMESPACE_END }
constexpr bool kWorkLoopPlugInBuild = false;
#endif

// The family's internal classes: not part of the library's interface, so their calls to each other
// bind directly.
#define WORKLOOP_INTERNAL __attribute__((visibility("hidden")))
