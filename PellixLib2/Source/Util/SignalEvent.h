#pragma once

// An event without state: a Signal wakes a thread waiting at that moment, and is lost otherwise.
// A Wait may also end on a spurious wake-up.

#include "Mutex.h"

namespace Pellix {

class SignalEvent : public Mutex
{
public:
    void Wait();
    void Signal();
};

} // namespace Pellix
