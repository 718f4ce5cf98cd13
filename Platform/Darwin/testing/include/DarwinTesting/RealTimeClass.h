#pragma once

namespace DarwinTesting {

// From now on, the threads that stand for the kernel, the drivers and the hardware enter the host's
// real-time class where the process may, as a Mac runs them ahead of applications. Threads already
// running keep their class.
void setDriverThreadsRealTime(bool on);

} // namespace DarwinTesting
