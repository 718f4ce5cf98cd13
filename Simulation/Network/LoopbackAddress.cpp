#include "LoopbackAddress.h"

#include <arpa/inet.h>

namespace SimNetwork {

std::optional<LoopbackAddress> LoopbackAddress::fromText(const std::string& dotted)
{
    in_addr address{};
    if (inet_pton(AF_INET, dotted.c_str(), &address) != 1) {
        return std::nullopt;
    }
    const uint32_t host = ntohl(address.s_addr);
    if ((host >> 24) != 127) {
        return std::nullopt;
    }
    return LoopbackAddress(host);
}

uint32_t LoopbackAddress::networkOrder() const
{
    return htonl(fAddress);
}

std::string LoopbackAddress::text() const
{
    in_addr address{networkOrder()};
    char dotted[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, dotted, sizeof dotted);
    return dotted;
}

} // namespace SimNetwork
