// The channel-name walk over random configurations and strings: every name it gives is a terminated
// string of at most 127 bytes, every table entry ends in a NUL, and no read leaves the bytes.
//
// Input: interface number, alternate setting, direction (odd: input), a little-endian u16 length,
// that many configuration bytes, then string descriptors given indices 1, 2, ... in order.

#include <UACDescriptors.h>

#include <DriverKit/OSString.h>
#include <DriverKitTesting/DriverKitTesting.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

class FuzzStrings : public StringDescriptorReader
{
public:
    FuzzStrings(const uint8_t* data, size_t size)
    {
        for (size_t at = 0; at < size && fStrings.size() < 255;) {
            const size_t length = data[at] == 0 ? 1 : data[at];
            fStrings.emplace_back(data + at, data + std::min(size, at + length));
            at += length;
        }
    }

    bool read(uint8_t index, uint8_t (&descriptor)[kStringDescriptorBytes]) override
    {
        if (index == 0 || index > fStrings.size()) {
            return false;
        }
        const std::vector<uint8_t>& string = fStrings[index - 1];
        std::memcpy(descriptor, string.data(), string.size());
        // A device's bLength never claims more than it sent.
        descriptor[0] = static_cast<uint8_t>(string.size());
        return true;
    }

private:
    std::vector<std::vector<uint8_t>> fStrings;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 5) {
        return 0;
    }
    const size_t length = std::min<size_t>(data[3] | data[4] << 8, size - 5);
    // The platform hands out no configuration shorter than its fixed fields.
    if (length < sizeof(IOUSBConfigurationDescriptor)) {
        return 0;
    }
    const IOUSBConfigurationDescriptor* configuration = DriverKitTesting::copyConfiguration(data + 5, length);
    FuzzStrings strings(data + 5 + length, size - 5 - length);
    OSArray* names = CopyChannelNames(configuration, strings, data[0], data[1], (data[2] & 1) != 0);
    if (names != nullptr) {
        require(names->getCount() <= 255);
        for (uint32_t i = 0; i < names->getCount(); ++i) {
            const auto* name = OSDynamicCast(OSString, names->getObject(i));
            require(name != nullptr && name->getLength() <= 127);
            char entry[KorvanDeviceIO::kNameFieldBytes];
            std::memset(entry, 0x55, sizeof(entry));
            WriteChannelName(entry, name->getCStringNoCopy());
            require(std::memchr(entry, 0, sizeof(entry)) != nullptr);
        }
        names->release();
    }
    if (configuration != nullptr) {
        IOUSBHostFreeDescriptor(configuration);
    }
    return 0;
}
