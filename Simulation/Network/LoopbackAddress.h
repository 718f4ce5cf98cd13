#pragma once

// An address on the loopback network 127.0.0.0/8: 127.0.0.1 stands for this machine, 127.0.0.2 and
// up for other machines on the LAN (Linux binds any of them on the loopback interface).

#include <cstdint>
#include <optional>
#include <string>

namespace SimNetwork {

class LoopbackAddress
{
public:
    // Nothing for text that is not a dotted IPv4 address inside 127.0.0.0/8.
    static std::optional<LoopbackAddress> fromText(const std::string& dotted);
    static LoopbackAddress host(uint8_t last) { return LoopbackAddress(0x7F000000u | last); }

    // In network byte order, for a socket address.
    uint32_t networkOrder() const;
    std::string text() const;

private:
    explicit LoopbackAddress(uint32_t address) : fAddress(address) {}

    uint32_t fAddress;
};

} // namespace SimNetwork
