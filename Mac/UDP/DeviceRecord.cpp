#include "DeviceRecord.h"

#include <Foundation/NSData.h>

#include <nlohmann/json.hpp>

std::string deviceRecord(const NetworkDevice& device)
{
    // nlohmann's object keeps its keys sorted, so dump() gives them in order.
    const nlohmann::json record = {{"deviceName", device.deviceName},
                                   {"hostname", device.hostname},
                                   {"ip", device.ip},
                                   {"model", device.model},
                                   {"serial", device.serial}};
    return NS::Data::base64EncodedString(record.dump());
}
