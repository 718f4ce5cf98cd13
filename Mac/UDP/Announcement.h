#pragma once

// An endpoint's announcement: one UDP datagram holding a JSON object. What the listener reads of
// it; anything that is not such an object with the four required strings is no announcement.

#include <optional>
#include <string>
#include <string_view>

struct Announcement
{
    std::string model; // the text after "TideProxy-"
    std::string ip;
    std::string serial;
    std::string name;
    std::string deviceName; // empty when absent or not a string
    bool networkControlEnabled = false;
    bool disconnected = false;
};

// Never throws; a datagram is at most a few kilobytes, so it is read in one pass that keeps only
// the keys used.
std::optional<Announcement> parseAnnouncement(std::string_view datagram);

// Every occurrence of "<src_ip>" becomes the sender's dotted address.
void replaceSourcePlaceholder(std::string& datagram, std::string_view senderAddress);
