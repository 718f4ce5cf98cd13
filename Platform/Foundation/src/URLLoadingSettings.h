#pragma once

// What tests may change about URL loading: host maps, extra certificate authorities and the default
// request time-out.

#include <cstdint>
#include <string>
#include <vector>

namespace NSPlatform {

struct URLLoadingSettings
{
    // "host:port:127.0.0.1:loopbackPort", as libcurl's connect-to list takes them.
    std::vector<std::string> connectTo;
    std::string extraAuthorities;
    double defaultTimeout = 60;
};

URLLoadingSettings urlLoadingSettings();
void changeURLLoadingSettings(void (*change)(URLLoadingSettings&, const void*), const void* argument);

} // namespace NSPlatform
