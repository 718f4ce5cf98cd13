#pragma once

// The calls of USB objects that tests can make fail at once with a given status.

namespace DriverKitPlatform {

enum class USBCall
{
    AsyncIO,
    IsochIO,
    DeviceRequest,
    GetDescriptors,
    GetFrameNumber,
};

} // namespace DriverKitPlatform
