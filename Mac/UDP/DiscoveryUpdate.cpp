#include "DiscoveryUpdate.h"

#include "Announcement.h"
#include "DeviceRecord.h"

#include <algorithm>

namespace {

constexpr size_t kMaximumIpBytes = 127;

std::string pageCall(const char* function, const NetworkDevice& device)
{
    return std::string("gApp.appdata.networkDeviceList.") + function + "('" + deviceRecord(device) + "')";
}

// The longest prefix of at most `limit` bytes that ends on a whole UTF-8 character.
std::string cutOnCharacter(std::string text, size_t limit)
{
    if (text.size() <= limit) {
        return text;
    }
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    text.resize(end);
    return text;
}

} // namespace

std::string localisedIp(const std::string& ip, const std::vector<std::string>& localAddresses)
{
    const size_t colon = ip.find(':');
    if (colon == std::string::npos || colon + 1 == ip.size()) {
        return ip;
    }
    const std::string host = ip.substr(0, colon);
    if (std::find(localAddresses.begin(), localAddresses.end(), host) == localAddresses.end()) {
        return ip;
    }
    return cutOnCharacter("127.0.0.1:" + ip.substr(colon + 1), kMaximumIpBytes);
}

void DiscoveryUpdate::take(const std::string& message, double now,
                           const std::vector<std::string>& localAddresses, std::set<NetworkDevice>& added,
                           std::set<NetworkDevice>& removed)
{
    std::optional<Announcement> announcement = parseAnnouncement(message);
    if (!announcement) {
        return;
    }
    NetworkDevice device{localisedIp(announcement->ip, localAddresses), announcement->serial,
                         announcement->name, announcement->model, announcement->deviceName};
    const bool allowed =
        device.ip.find("127.0.0.1") != std::string::npos || announcement->networkControlEnabled;
    const bool alive = allowed && !announcement->disconnected;

    auto known = d_netDevices.find(device);
    if (known != d_netDevices.end()) {
        known->second = alive ? now : 0;
        return;
    }
    if (!alive) {
        return;
    }
    added.insert(device);
    d_netDevices.emplace(device, now);
    auto renamed = d_allDevices.find(device);
    if (renamed != d_allDevices.end()) {
        removed.insert(*renamed);
        d_allDevices.erase(renamed);
    }
    d_allDevices.insert(device);
}

std::vector<std::string> DiscoveryUpdate::update(MessageQueue& messages, double now,
                                                 const std::vector<std::string>& localAddresses)
{
    std::set<NetworkDevice> added;
    std::set<NetworkDevice> removed;
    for (std::string message; messages.PopMessage(message);) {
        take(message, now, localAddresses, added, removed);
    }
    for (const auto& [device, lastSeen] : d_netDevices) {
        if (now - lastSeen > kExpirySeconds) {
            removed.insert(device);
        }
    }
    for (const NetworkDevice& device : removed) {
        d_netDevices.erase(device);
    }
    std::erase_if(d_allDevices,
                  [this](const NetworkDevice& device) { return !d_netDevices.contains(device); });

    std::vector<std::string> calls;
    if (d_refresh) {
        for (const auto& entry : d_netDevices) {
            calls.push_back(pageCall("discoveryAdd", entry.first));
        }
    } else {
        // A record both added and removed within this update never reached the page.
        for (const NetworkDevice& device : removed) {
            if (!added.contains(device)) {
                calls.push_back(pageCall("discoveryRemove", device));
            }
        }
        for (const NetworkDevice& device : added) {
            if (!removed.contains(device)) {
                calls.push_back(pageCall("discoveryAdd", device));
            }
        }
    }
    d_refresh = false;
    return calls;
}
