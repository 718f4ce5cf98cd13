// What a running Wrenlet may answer the updater: the serial's string descriptor (its length, then
// the whole), the two version replies and the 16-byte user signature. The serial never exceeds 126
// characters and every label the window shows is built.

#include "DeviceReplies.h"
#include "UserSignature.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

void check(bool condition)
{
    if (!condition) {
        __builtin_trap();
    }
}

// Takes up to `length` bytes of the input as the device's reply, zero-filled in a buffer of `room`.
template <size_t room>
size_t reply(const uint8_t*& data, size_t& size, uint8_t (&buffer)[room])
{
    std::memset(buffer, 0, room);
    if (size == 0) {
        return 0;
    }
    const size_t length = std::min<size_t>({data[0], size - 1, room});
    std::memcpy(buffer, data + 1, length);
    data += 1 + length;
    size -= 1 + length;
    return length;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    uint8_t header[2];
    const size_t headerLength = reply(data, size, header);
    uint8_t descriptor[256];
    const size_t descriptorLength = headerLength == 2 ? reply(data, size, descriptor) : 0;
    const std::string serial = DeviceReplies::SerialFromDescriptor(descriptor, descriptorLength);
    check(serial.size() <= 126);

    uint8_t firmwareReply[16];
    uint8_t fpgaReply[16];
    const std::string firmware = DeviceReplies::VersionText(firmwareReply, reply(data, size, firmwareReply));
    const std::string fpga = DeviceReplies::VersionText(fpgaReply, reply(data, size, fpgaReply));
    check(firmware.size() <= 16 && fpga.size() <= 16);
    const std::string version = firmware.empty() ? "Unknown" : firmware + ":" + fpga;
    const std::string label = "Device Connected: Wrenlet (" + serial + ")";
    check(!version.empty() && label.size() >= 28);

    uint8_t signature[16];
    const size_t signatureLength = reply(data, size, signature);
    if (const auto tag = UserSignature::Find(std::span<const uint8_t>(signature, signatureLength))) {
        check(tag->serial.size() == 10 && tag->uid.size() == 6);
        check(UserSignature::SerialEndsWith(tag->serial, tag->uid));
    }
    UserSignature::SerialEndsWith(serial, firmware);
    return 0;
}
