#include <IOKit/IOReturn.h>
#include <mach/kern_return.h>

#include <gtest/gtest.h>

#include <cstdint>

namespace {

struct Code
{
    const char* fName;
    int64_t fValue;
    uint32_t fExpected;
};

class ReturnCodes : public testing::TestWithParam<Code>
{};

TEST_P(ReturnCodes, HaveThePlatformsValues)
{
    EXPECT_EQ(uint32_t(GetParam().fValue), GetParam().fExpected);
}

#define CODE(name, expected)                                                                                 \
    Code                                                                                                     \
    {                                                                                                        \
#name, int64_t(name), expected                                                                       \
    }

// The values the system's code quotes, the packing macros, and the kernel's codes.
INSTANTIATE_TEST_SUITE_P(
    Darwin, ReturnCodes,
    testing::Values(CODE(kIOReturnSuccess, 0), CODE(kIOReturnError, 0xE00002BC),
                    CODE(kIOReturnNoMemory, 0xE00002BD), CODE(kIOReturnBadArgument, 0xE00002C2),
                    CODE(kIOReturnExclusiveAccess, 0xE00002C5), CODE(kIOReturnUnsupported, 0xE00002C7),
                    CODE(kIOReturnNotOpen, 0xE00002CD), CODE(kIOReturnOffline, 0xE00002D7),
                    CODE(kIOReturnNotReady, 0xE00002D8), CODE(kIOReturnNotAttached, 0xE00002D9),
                    CODE(kIOReturnNotFound, 0xE00002F0), CODE(sys_iokit, 0xE0000000),
                    CODE(sub_iokit_common, 0), CODE(sub_iokit_usb, 0x4000),
                    Code{"err_system_0x38", int64_t(err_system(0x38)), 0xE0000000},
                    Code{"err_sub_1", int64_t(err_sub(1)), 0x4000}, CODE(KERN_SUCCESS, 0),
                    CODE(KERN_INVALID_ADDRESS, 1), CODE(KERN_NO_SPACE, 3), CODE(KERN_INVALID_ARGUMENT, 4),
                    CODE(KERN_FAILURE, 5), CODE(KERN_ABORTED, 14), CODE(KERN_INVALID_VALUE, 18),
                    CODE(KERN_TERMINATED, 37), CODE(KERN_OPERATION_TIMED_OUT, 49)),
    [](const testing::TestParamInfo<Code>& info) { return info.param.fName; });

TEST(IOReturn, ComparesAsTheKernelResultItIs)
{
    IOReturn result = iokit_common_err(0x2bc);
    EXPECT_EQ(result, kIOReturnError);
    EXPECT_LT(result, 0);
}

} // namespace
