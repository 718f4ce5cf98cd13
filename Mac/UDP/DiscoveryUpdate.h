#pragma once

// The table of endpoints heard on the network and what the page is told of it. Each update drains
// the queued announcements, expires endpoints silent for more than 12 seconds, and answers the
// page calls that bring the page's list to the table's keys.

#include "MessageQueue.h"
#include "NetworkDevice.h"

#include <map>
#include <set>
#include <string>
#include <vector>

class DiscoveryUpdate
{
public:
    static constexpr double kExpirySeconds = 12.0;

    // The next update lists every endpoint, for a page that has just loaded.
    void requestRefresh() { d_refresh = true; }

    // `now` in seconds of absolute time; `localAddresses` are this machine's dotted IPv4 addresses.
    // Answers the page calls in order. Never throws on anything a datagram holds.
    std::vector<std::string> update(MessageQueue& messages, double now,
                                    const std::vector<std::string>& localAddresses);

    const std::map<NetworkDevice, double>& netDevices() const { return d_netDevices; }
    const std::set<NetworkDevice, CmpNetworkDeviceDisregardName>& allDevices() const { return d_allDevices; }

private:
    void take(const std::string& message, double now, const std::vector<std::string>& localAddresses,
              std::set<NetworkDevice>& added, std::set<NetworkDevice>& removed);

    std::map<NetworkDevice, double> d_netDevices;
    std::set<NetworkDevice, CmpNetworkDeviceDisregardName> d_allDevices;
    bool d_refresh = false;
};

// "<host>:<port>" naming one of this machine's addresses becomes "127.0.0.1:<port>", at most 127
// bytes and cut on a character boundary; any other text is left as it is.
std::string localisedIp(const std::string& ip, const std::vector<std::string>& localAddresses);
