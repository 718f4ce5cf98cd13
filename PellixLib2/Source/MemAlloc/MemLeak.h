#pragma once

// Leak-tracking entry points. Leak tracking is not built into this library: every entry point is
// without effect and tracking never turns on.

void __AllocateBlock(void* block);
void __DeallocateBlock(void* block);
void __ClearMemLeakStats();
void __MemLeakStats();
// Returns false whatever is asked.
bool EnableMemLeak(bool enable);
bool MemLeakIsEnabled();

class WithMemLeakDisabled
{
public:
    WithMemLeakDisabled() {}
    ~WithMemLeakDisabled() {}
    WithMemLeakDisabled(const WithMemLeakDisabled&) = delete;
    WithMemLeakDisabled& operator=(const WithMemLeakDisabled&) = delete;
};
