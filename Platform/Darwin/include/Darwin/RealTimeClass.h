#pragma once

// The host's first-in-first-out real-time class, for the threads a Mac runs ahead of applications:
// the audio server's IO threads and, in a simulated system, the threads that stand for the kernel,
// the drivers and the hardware (kernel work loops, driver queues, the simulated bus).
namespace DarwinRealTime {

// Where the process may, moves the calling thread into the class, `below` levels under its top.
// Returns whether it did.
bool enter(int below);

// Whether the threads that stand for the kernel, the drivers and the hardware enter the class when
// they start. Off until a simulated system that streams on the real clock turns it on: unit tests
// share their machine with many others.
bool forDriverThreads();

// Levels under the top for the threads that stand for the hardware and for the kernel and drivers.
// The host's IO threads sit one under the top.
constexpr int kHardwareLevel = 0;
constexpr int kDriverLevel = 10;

} // namespace DarwinRealTime
