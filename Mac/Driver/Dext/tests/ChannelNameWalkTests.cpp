#include <UACDescriptors.h>

#include <DriverKit/OSString.h>
#include <DriverKitTesting/DriverKitTesting.h>
#include <KorvanInterface/Descriptors.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using KorvanInterface::DescriptorOptions;
using KorvanInterface::Model;

// Every index holds the string "S<index>", index 0 included.
class NumberedStrings : public StringDescriptorReader
{
public:
    bool read(uint8_t index, uint8_t (&descriptor)[kStringDescriptorBytes]) override
    {
        const std::string text = "S" + std::to_string(index);
        descriptor[0] = static_cast<uint8_t>(2 + 2 * text.size());
        descriptor[1] = 3;
        for (size_t i = 0; i < text.size(); ++i) {
            descriptor[2 + 2 * i] = static_cast<uint8_t>(text[i]);
            descriptor[3 + 2 * i] = 0;
        }
        return true;
    }
};

TEST(DextChannelNameWalk, NameIndicesWrapPast255)
{
    constexpr uint8_t kChannels = 10;
    DescriptorOptions options(Model::Wrenlet, 0x3A1C);
    for (auto& counts : options.channels) {
        counts = {kChannels, 12};
    }
    std::vector<uint8_t> bytes = KorvanInterface::buildDescriptors(options).configuration;
    // Every input terminal of the record path's width names its channels from string 250 on.
    for (size_t at = 0; at + 17 <= bytes.size() && bytes[at] >= 2; at += bytes[at]) {
        if (bytes[at] >= 17 && bytes[at + 1] == kCSInterfaceDescriptorType &&
            bytes[at + 2] == kInputTerminalSubtype && bytes[at + 8] == kChannels) {
            bytes[at + 13] = 250;
        }
    }
    const IOUSBConfigurationDescriptor* configuration =
        DriverKitTesting::copyConfiguration(bytes.data(), bytes.size());
    NumberedStrings strings;

    OSArray* names = CopyChannelNames(configuration, strings, KorvanInterface::kRecordInterface, 1, true);

    ASSERT_NE(names, nullptr);
    std::vector<std::string> texts;
    for (uint32_t i = 0; i < names->getCount(); ++i) {
        texts.emplace_back(OSDynamicCast(OSString, names->getObject(i))->getCStringNoCopy());
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"S250", "S251", "S252", "S253", "S254", "S255", "S0", "S1",
                                               "S2", "S3"}));
    names->release();
    IOUSBHostFreeDescriptor(configuration);
}

} // namespace
