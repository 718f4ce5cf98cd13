#pragma once

// A network mixer endpoint as the page knows it, and its two orderings: by all five fields, and by
// everything but the display name (one entry per endpoint whatever it is called).

#include <string>

struct NetworkDevice
{
    std::string ip;
    std::string serial;
    std::string hostname;
    std::string model;
    std::string deviceName;

    bool operator<(const NetworkDevice& other) const;
    bool operator==(const NetworkDevice& other) const = default;

    // Whether this sorts before `other` on ip, serial, hostname and model.
    bool cmpDisregardName(const NetworkDevice& other) const;
};

struct CmpNetworkDeviceDisregardName
{
    bool operator()(const NetworkDevice& a, const NetworkDevice& b) const { return a.cmpDisregardName(b); }
};
