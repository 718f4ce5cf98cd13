#include "FakeKernelUserClient.h"
#include "FakeReenumerator.h"
#include "KernelUserClientContract.h"
#include "LogLines.h"
#include "ReenumeratorContract.h"

namespace {

using namespace PlugInTesting;

struct FakeKernelFactory
{
    static constexpr const char* kUID = "contract";
    static constexpr kern_return_t kMappingWithoutDevice = kIOReturnNotAttached;

    static std::vector<uint8_t> input(uint32_t) { return {}; }
    static KorvanDeviceIO::USBAudioRunStateRequest runState(uint32_t state)
    {
        return {state, 1, 1, 6, 2, 1, 6};
    }

    FakeKernelFactory() : fHandle((fService.publish(), fService.copyHandle())) {}
    ~FakeKernelFactory() { IOObjectRelease(fHandle); }

    io_service_t service() const { return fHandle; }
    void notify(uint32_t type, const void* bytes, uint32_t length)
    {
        fService.NotifyUserClient(type, bytes, length);
    }
    void detachDevice() { fService.detachDevice(); }

    LogLines fLog;
    FakeKernelService fService{kUID};
    io_service_t fHandle;
};

struct FakeReenumeratorFactory
{
    int resets() const { return fDaemon.resetCount(); }

    LogLines fLog;
    FakeReenumerator fDaemon;
};

INSTANTIATE_TYPED_TEST_SUITE_P(Fake, KernelUserClientContract, testing::Types<FakeKernelFactory>);
INSTANTIATE_TYPED_TEST_SUITE_P(Fake, ReenumeratorContract, testing::Types<FakeReenumeratorFactory>);

} // namespace
