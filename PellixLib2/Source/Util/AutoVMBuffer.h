#pragma once

// Whole pages of zeroed memory, allocated from the task's address space, for as long as it lives.
// A failed allocation throws the VorkError of FailMemFullError.

namespace Pellix {

class AutoVMBuffer
{
public:
    explicit AutoVMBuffer(unsigned int size);
    virtual ~AutoVMBuffer();
    AutoVMBuffer(const AutoVMBuffer&) = delete;
    AutoVMBuffer& operator=(const AutoVMBuffer&) = delete;

    void* fBuffer = nullptr;
    unsigned int fSize;
};

} // namespace Pellix
