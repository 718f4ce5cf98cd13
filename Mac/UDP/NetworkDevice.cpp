#include "NetworkDevice.h"

#include <tuple>

bool NetworkDevice::operator<(const NetworkDevice& other) const
{
    return std::tie(ip, serial, hostname, model, deviceName) <
           std::tie(other.ip, other.serial, other.hostname, other.model, other.deviceName);
}

bool NetworkDevice::cmpDisregardName(const NetworkDevice& other) const
{
    return std::tie(ip, serial, hostname, model) <
           std::tie(other.ip, other.serial, other.hostname, other.model);
}
