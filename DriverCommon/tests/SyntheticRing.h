#pragma once

// A request ring as a driver maps it: page-aligned memory from vm_allocate, 20 blocks. Building one
// costs 11 MB, so a suite builds it once and clears it between cases.

#include "KorvanRequestRing.h"

#include <cstring>
#include <gtest/gtest.h>
#include <mach/mach.h>
#include <stdexcept>

class SyntheticRing
{
public:
    SyntheticRing()
    {
        vm_address_t address = 0;
        const kern_return_t result =
            vm_allocate(mach_task_self(), &address, KorvanDeviceIO::kRequestRingSizeBytes, VM_FLAGS_ANYWHERE);
        if (result != KERN_SUCCESS) {
            throw std::runtime_error("vm_allocate failed for a request ring");
        }
        fBlocks = reinterpret_cast<KorvanDeviceIO::USBRequestBlock*>(address);
    }

    ~SyntheticRing()
    {
        vm_deallocate(mach_task_self(), reinterpret_cast<vm_address_t>(fBlocks),
                      KorvanDeviceIO::kRequestRingSizeBytes);
    }

    SyntheticRing(const SyntheticRing&) = delete;
    SyntheticRing& operator=(const SyntheticRing&) = delete;

    KorvanDeviceIO::USBRequestBlock* blocks() const { return fBlocks; }
    KorvanDeviceIO::USBRequestBlock& block(std::size_t index) const { return fBlocks[index]; }

    KorvanDeviceIO::USBRequestIter at(std::size_t block, uint32_t packet, uint32_t stride) const
    {
        return {fBlocks, fBlocks + block, packet, stride};
    }

    void clear() const { std::memset(static_cast<void*>(fBlocks), 0, KorvanDeviceIO::kRequestRingSizeBytes); }

private:
    KorvanDeviceIO::USBRequestBlock* fBlocks = nullptr;
};

// A suite whose cases share one ring, zeroed before each case.
class SyntheticRingTest : public testing::Test
{
protected:
    static void SetUpTestSuite() { sRing = new SyntheticRing; }
    static void TearDownTestSuite()
    {
        delete sRing;
        sRing = nullptr;
    }
    void SetUp() override { sRing->clear(); }

    static SyntheticRing& ring() { return *sRing; }

private:
    static inline SyntheticRing* sRing = nullptr;
};
