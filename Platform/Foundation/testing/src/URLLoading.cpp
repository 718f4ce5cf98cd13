#include <FoundationTesting/URLLoading.h>

#include "URLLoadingSettings.h"

namespace FoundationTesting {

using NSPlatform::URLLoadingSettings;

void mapHost(const std::string& host, uint16_t port, uint16_t loopbackPort)
{
    const std::string entry =
        host + ":" + std::to_string(port) + ":127.0.0.1:" + std::to_string(loopbackPort);
    NSPlatform::changeURLLoadingSettings(
        [](URLLoadingSettings& settings, const void* text) {
            settings.connectTo.push_back(*static_cast<const std::string*>(text));
        },
        &entry);
}

void trustCertificateAuthority(const std::string& pem)
{
    NSPlatform::changeURLLoadingSettings(
        [](URLLoadingSettings& settings, const void* text) {
            settings.extraAuthorities += *static_cast<const std::string*>(text) + "\n";
        },
        &pem);
}

void setDefaultRequestTimeout(double seconds)
{
    NSPlatform::changeURLLoadingSettings(
        [](URLLoadingSettings& settings, const void* value) {
            const double wanted = *static_cast<const double*>(value);
            settings.defaultTimeout = wanted > 0 ? wanted : 60;
        },
        &seconds);
}

void resetURLLoading()
{
    NSPlatform::changeURLLoadingSettings([](URLLoadingSettings& settings, const void*) { settings = {}; },
                                         nullptr);
}

} // namespace FoundationTesting
