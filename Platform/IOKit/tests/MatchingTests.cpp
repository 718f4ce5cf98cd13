// IOServiceGetMatchingServices and the matching dictionaries it reads.

#include "IOKitTestSupport.h"

#include <gtest/gtest.h>

#include <ostream>

using namespace IOKitTestSupport;

namespace {

const std::vector<std::string> kNubClass = {"IOUSBHostDevice", "IOUSBDevice_Base", "IOService"};
const std::vector<std::string> kControlClass = {"com_vork_driver_tide_control_interface",
                                                "com_vork_driver_tide_base_interface", "IOService"};

CFHolder<CFDictionaryRef> usbIdentity(SInt32 vendor, SInt32 product)
{
    CFHolder<CFNumberRef> vendorNumber(CFNumberCreate(nullptr, kCFNumberSInt32Type, &vendor));
    CFHolder<CFNumberRef> productNumber(CFNumberCreate(nullptr, kCFNumberSInt32Type, &product));
    CFMutableDictionaryRef properties = emptyDictionary();
    dictionaryWith(properties, "idVendor", vendorNumber.get());
    dictionaryWith(properties, "idProduct", productNumber.get());
    return CFHolder<CFDictionaryRef>(properties);
}

struct MatchCase
{
    const char* fName;
    const char* fClass;
    // Further keys as 64-bit numbers, so a match compares values, not number types.
    std::vector<std::pair<const char*, SInt64>> fProperties;
    std::vector<std::string> fExpected;
};

void PrintTo(const MatchCase& value, std::ostream* out)
{
    *out << value.fName;
}

class MatchingServicesTest : public testing::TestWithParam<MatchCase>
{
protected:
    void SetUp() override
    {
        IOKitPlatform::registerClassAlias("IOUSBDevice", "IOUSBHostDevice");
        fServices.publish(kNubClass, "Nub12", usbIdentity(0x1DE7, 12).get());
        fServices.publish(kNubClass, "Nub14", usbIdentity(0x1DE7, 14).get());
        fServices.publish(kNubClass, "Foreign", usbIdentity(0x05AC, 12).get());
        fServices.publish(kControlClass, "Control");
        fServices.create(kNubClass, "Unpublished", usbIdentity(0x1DE7, 12).get());
        fServices.publish(kNubClass, "Terminated", usbIdentity(0x1DE7, 12).get())->terminate();
    }

    Services fServices;
};

TEST_P(MatchingServicesTest, FindsThePublishedServicesThatMatchInPublicationOrder)
{
    const MatchCase& match = GetParam();
    CFMutableDictionaryRef matching =
        match.fClass != nullptr ? IOServiceMatching(match.fClass) : emptyDictionary();
    for (const auto& [key, value] : match.fProperties) {
        dictionaryWith(matching, key, cfNumber(value).get());
    }
    io_iterator_t iterator = 0;
    ASSERT_EQ(IOServiceGetMatchingServices(kIOMainPortDefault, matching, &iterator), kIOReturnSuccess);

    EXPECT_EQ(drainNames(iterator), match.fExpected);
    EXPECT_TRUE(IOIteratorIsValid(iterator));
    IOIteratorReset(iterator);
    EXPECT_EQ(drainNames(iterator), match.fExpected);
    EXPECT_EQ(IOObjectRelease(iterator), kIOReturnSuccess);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MatchingServicesTest,
    testing::Values(
        MatchCase{"ByClass", "IOUSBHostDevice", {}, {"Nub12", "Nub14", "Foreign"}},
        MatchCase{"BySuperclass", "com_vork_driver_tide_base_interface", {}, {"Control"}},
        MatchCase{"ByAlias", "IOUSBDevice", {}, {"Nub12", "Nub14", "Foreign"}},
        MatchCase{
            "ByVendorAndProduct", "IOUSBHostDevice", {{"idVendor", 0x1DE7}, {"idProduct", 14}}, {"Nub14"}},
        MatchCase{"ByPropertyAlone", nullptr, {{"idProduct", 12}}, {"Nub12", "Foreign"}},
        MatchCase{"PropertyOfAnotherValue", "IOUSBHostDevice", {{"idProduct", 13}}, {}},
        MatchCase{"PropertyTheClassLacks", "com_vork_driver_tide_control_interface", {{"idProduct", 12}}, {}},
        MatchCase{"UnknownClass", "IOUSBInterface", {}, {}}),
    testing::PrintToStringParamName());

TEST(MatchingDictionary, IOServiceMatchingNamesTheProviderClassAndLookupsConsumeIt)
{
    CFMutableDictionaryRef matching = IOServiceMatching("IOUSBHostDevice");
    ASSERT_NE(matching, nullptr);
    EXPECT_EQ(CFDictionaryGetCount(matching), 1);
    auto key = cfString(kIOProviderClassKey);
    auto expected = cfString("IOUSBHostDevice");
    EXPECT_TRUE(CFEqual(CFDictionaryGetValue(matching, key.get()), expected.get()));

    CFRetain(matching);
    io_iterator_t iterator = 0;
    ASSERT_EQ(IOServiceGetMatchingServices(kIOMainPortDefault, matching, &iterator), kIOReturnSuccess);
    EXPECT_EQ(CFGetRetainCount(matching), 1);
    CFRelease(matching);
    IOObjectRelease(iterator);
}

TEST(MatchingDictionary, AProviderClassThatIsNotAStringMatchesNothing)
{
    Services services;
    services.publish(kNubClass, "Nub");
    CFMutableDictionaryRef matching = emptyDictionary();
    dictionaryWith(matching, kIOProviderClassKey, cfNumber(1).get());
    io_iterator_t iterator = 0;
    ASSERT_EQ(IOServiceGetMatchingServices(kIOMainPortDefault, matching, &iterator), kIOReturnSuccess);
    EXPECT_EQ(drainNames(iterator), std::vector<std::string>{});
    IOObjectRelease(iterator);
}

} // namespace
