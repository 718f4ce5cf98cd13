#include <SimNetwork/LoopbackListener.h>
#include <SimNetwork/PyxFirmwareRoutes.h>

namespace SimNetwork::PyxRoutes {

std::string imagePath(const std::string& name)
{
    return "/fw/" + name;
}

std::string imageAddress(const std::string& name)
{
    return std::string("http://") + kHost + imagePath(name);
}

std::string versionReply(const std::string& version, const std::string& address)
{
    return "{\"version\": \"" + version + "\", \"image\": \"" + address + "\"}";
}

void offer(FirmwareServer& server, const std::string& version, const std::vector<uint8_t>& image,
           const std::string& name)
{
    server.setRoute(kVersionPath, {{.body = versionReply(version, imageAddress(name))}});
    server.setRoute(imagePath(name), {{.body = std::string(image.begin(), image.end())}});
}

uint16_t closedPort()
{
    return LoopbackListener(1).port();
}

} // namespace SimNetwork::PyxRoutes
