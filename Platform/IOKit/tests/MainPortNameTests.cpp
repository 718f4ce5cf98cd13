// The older name of the main port is the same port.

#include <IOKit/IOKitLib.h>

#include <gtest/gtest.h>

TEST(MainPortName, OlderNameIsTheMainPort)
{
    EXPECT_EQ(kIOMasterPortDefault, kIOMainPortDefault);
    io_iterator_t iterator = 0;
    EXPECT_EQ(IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("IOUSBDevice"), &iterator),
              kIOReturnSuccess);
    IOObjectRelease(iterator);
}
